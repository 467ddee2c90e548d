#pragma once

#include "ChunkCipher.h"

#include <QByteArray>
#include <functional>
#include <memory>

namespace Quorvane {

// Reads FileCipher's format, any version, as its bytes arrive, in pieces of
// any size, so a download is decrypted on its way to disk. Holds one chunk
// at most.
class FileDecryptor
{
public:
    // Takes plain bytes that authenticated; false when they cannot be kept.
    using Writer = std::function<bool(const char *data, qint64 size)>;

    // Takes a chunk's plain bytes that authenticated, and may keep the array
    // by swapping one of its own in; false when they cannot be kept.
    using Taker = std::function<bool(QByteArray &plain)>;

    FileDecryptor(const MasterKey &key, const CipherBinding &binding, Writer writer);
    FileDecryptor(const MasterKey &key, const CipherBinding &binding, Taker taker);
    FileDecryptor(const FileDecryptor &) = delete;
    FileDecryptor &operator=(const FileDecryptor &) = delete;

    // The next bytes; false from the first failure on (result() says which).
    bool feed(const char *data, qint64 size);
    // After the last byte: Done only when the final chunk came and nothing
    // followed it.
    FileCipher::Result finish();
    FileCipher::Result result() const { return m_result; }
    // Whether the bytes so far still may start an encrypted file.
    bool headerRead() const { return m_headerRead; }

private:
    bool fail(FileCipher::Result result);
    bool readHeader();
    bool openChunk(const char *sealed, qint64 size);

    MasterKey m_key;
    CipherBinding m_binding;
    Writer m_writer;
    Taker m_taker;
    QByteArray m_pending; // the header, until it is whole
    QByteArray m_chunk; // the sealed chunk being filled
    qint64 m_filled = 0;
    QByteArray m_plain;
    qint64 m_sealedChunk = 0;
    bool m_headerRead = false;
    bool m_finalSeen = false;
    FileCipher::Result m_result = FileCipher::Result::Done;
    std::unique_ptr<ChunkCipher> m_cipher;
};

} // namespace Quorvane
