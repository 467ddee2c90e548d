#pragma once

#include "ChunkCipher.h"

#include <sodium.h>

namespace Quorvane {

// Format version 1: libsodium's crypto_secretstream_xchacha20poly1305 under
// the key's file subkey. The header ends with the stream's 24-byte header;
// each chunk grows by 17 bytes and only the last carries the final tag. The
// first 25 header bytes and the binding are each chunk's associated data.
// The stream's state chains the chunks, so they are sealed in order.
class StreamChunkCipher : public ChunkCipher
{
public:
    static constexpr int Version = 1;
    static constexpr int HeaderSize
        = FileCipher::PrefixSize + crypto_secretstream_xchacha20poly1305_HEADERBYTES;
    static constexpr int Overhead = crypto_secretstream_xchacha20poly1305_ABYTES;

    static std::unique_ptr<ChunkCipher> sealing(const MasterKey &key, const CipherBinding &binding,
                                                int chunkSize);
    static std::unique_ptr<ChunkCipher> opening(const Layout &layout, const QByteArray &header,
                                                const MasterKey &key, const CipherBinding &binding);
    ~StreamChunkCipher() override;

    bool sealsInAnyOrder() const override { return false; }
    bool seal(qint64 index, bool last, const unsigned char *plain, qint64 size,
              unsigned char *out) override;
    bool open(const unsigned char *sealed, qint64 size, unsigned char *plain, bool &last) override;

private:
    StreamChunkCipher(const Layout &layout, const QByteArray &header, const CipherBinding &binding);

    crypto_secretstream_xchacha20poly1305_state m_start {}; // to seal from chunk 0 again
    crypto_secretstream_xchacha20poly1305_state m_state {};
    qint64 m_next = 0;
};

} // namespace Quorvane
