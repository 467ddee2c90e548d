#pragma once

#include "CipherBinding.h"
#include "MasterKey.h"

class QIODevice;

namespace Quorvane {

// A file's bytes as an authenticated stream of fixed chunks
// (crypto_secretstream_xchacha20poly1305), read and written a chunk at a time
// so memory stays flat whatever the file's size:
//
//   "QVEF", version 1 (one byte), key id (16 bytes), chunk size (4 bytes,
//   little-endian), stream header (24 bytes), then every chunk sealed with
//   17 bytes more than it holds; all but the last are full, and only the
//   last carries the final tag.
//
// The 25 bytes before the stream header and the binding are each chunk's
// associated data. The stream's own counter refuses chunks reordered or
// dropped, the final tag a file cut short.
class FileCipher
{
public:
    static constexpr int Version = 1;
    static constexpr int HeaderSize = 49;
    static constexpr int DefaultChunkSize = 1024 * 1024;
    static constexpr int MaxChunkSize = 16 * 1024 * 1024;

    enum class Result { Done, NotEncrypted, WrongKey, Damaged, ReadFailed, WriteFailed };

    // Whether the bytes start as an encrypted file does (its first bytes will do).
    static bool isEncrypted(const QByteArray &start);
    static Result encrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                          const CipherBinding &binding, int chunkSize = DefaultChunkSize);
    // Writes nothing past the last chunk that authenticated; on anything but
    // Done the caller must throw away what was written.
    static Result decrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                          const CipherBinding &binding);
};

} // namespace Quorvane
