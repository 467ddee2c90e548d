#pragma once

#include "ChunkCipher.h"

struct evp_cipher_ctx_st;

namespace Quorvane {

// Format version 2: AES-256-GCM by OpenSSL, which runs several times faster
// than version 1's stream cipher where the processor has AES instructions.
// The header ends with a random 32-byte salt; the file's own key is a keyed
// BLAKE2b of the salt under the master key's file-key subkey, so a nonce
// never repeats under one key across files. Chunk i's 12-byte nonce is i
// (11 bytes, big-endian) and a last byte of 1 on the file's last chunk, 0
// before it: reordered, dropped or appended chunks and a cut file fail.
// Each chunk grows by its 16-byte tag; the whole header and the binding are
// its associated data.
class GcmChunkCipher : public ChunkCipher
{
public:
    static constexpr int Version = 2;
    static constexpr int SaltSize = 32;
    static constexpr int HeaderSize = FileCipher::PrefixSize + SaltSize;
    static constexpr int Overhead = 16;

    // salt: random when empty; a fixed one is for known answers only.
    static std::unique_ptr<ChunkCipher> sealing(const MasterKey &key, const CipherBinding &binding,
                                                int chunkSize,
                                                const QByteArray &salt = QByteArray());
    static std::unique_ptr<ChunkCipher> opening(const Layout &layout, const QByteArray &header,
                                                const MasterKey &key, const CipherBinding &binding);
    ~GcmChunkCipher() override;

    bool sealsInAnyOrder() const override { return true; }
    bool seal(qint64 index, bool last, const unsigned char *plain, qint64 size,
              unsigned char *out) override;
    bool open(const unsigned char *sealed, qint64 size, unsigned char *plain, bool &last) override;

private:
    GcmChunkCipher(const Layout &layout, const QByteArray &header, const CipherBinding &binding);
    // Keys the cipher for the file whose header this is.
    bool start(const MasterKey &key, bool sealing);
    bool openAs(qint64 index, bool last, const unsigned char *sealed, qint64 size,
                unsigned char *plain);

    evp_cipher_ctx_st *m_context = nullptr;
    qint64 m_next = 0; // the chunk open() takes next
};

} // namespace Quorvane
