#pragma once

#include "CipherBinding.h"
#include "MasterKey.h"

class QIODevice;

namespace Quorvane {

// A file's bytes as an authenticated stream of fixed chunks, read and
// written a chunk at a time so memory stays flat whatever the file's size:
//
//   "QVEF", version (one byte), key id (16 bytes), chunk size (4 bytes,
//   little-endian), the version's own header bytes, then every chunk sealed
//   with a few bytes more than it holds; all but the last are full, and only
//   the last is marked final (an empty file is one empty final chunk).
//
// Version 2 is written (GcmChunkCipher); version 1 (StreamChunkCipher) is
// read as well, always. Each chunk authenticates the header and the binding,
// and its place: chunks reordered, dropped or appended, and a file cut short
// are refused.
class FileCipher
{
public:
    static constexpr int Version = 2;
    // The bytes every version starts with.
    static constexpr int PrefixSize = 25;
    static constexpr int DefaultChunkSize = 1024 * 1024;
    static constexpr int MaxChunkSize = 16 * 1024 * 1024;

    enum class Result { Done, NotEncrypted, WrongKey, Damaged, ReadFailed, WriteFailed };

    // Whether the bytes start as an encrypted file does (its first bytes will do).
    static bool isEncrypted(const QByteArray &start);
    static Result encrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                          const CipherBinding &binding, int chunkSize = DefaultChunkSize,
                          int version = Version);
    // Writes nothing past the last chunk that authenticated; on anything but
    // Done the caller must throw away what was written.
    static Result decrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                          const CipherBinding &binding);
};

} // namespace Quorvane
