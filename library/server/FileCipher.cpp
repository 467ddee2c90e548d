#include "FileCipher.h"

#include "ChunkCipher.h"
#include "FileDecryptor.h"

#include <QIODevice>

namespace Quorvane {

namespace {

// Reads until size bytes or the end; what it got, or -1 on a read error.
qint64 readFull(QIODevice &in, char *data, qint64 size)
{
    qint64 got = 0;
    while (got < size) {
        const qint64 n = in.read(data + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0 && !in.waitForReadyRead(-1))
            break;
        got += n;
    }
    return got;
}

bool writeFull(QIODevice &out, const char *data, qint64 size)
{
    return out.write(data, size) == size;
}

unsigned char *bytes(QByteArray &value)
{
    return reinterpret_cast<unsigned char *>(value.data());
}

} // namespace

bool FileCipher::isEncrypted(const QByteArray &start)
{
    return start.startsWith("QVEF");
}

FileCipher::Result FileCipher::encrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                                       const CipherBinding &binding, int chunkSize, int version)
{
    const std::unique_ptr<ChunkCipher> cipher
        = ChunkCipher::forSealing(version, key, binding, chunkSize);
    if (!cipher)
        return Result::WriteFailed;
    if (!writeFull(out, cipher->header().constData(), cipher->header().size()))
        return Result::WriteFailed;

    // One chunk read ahead tells whether the current one is the last.
    QByteArray current(chunkSize, Qt::Uninitialized);
    QByteArray next(chunkSize, Qt::Uninitialized);
    QByteArray sealed(chunkSize + cipher->overhead(), Qt::Uninitialized);
    qint64 got = readFull(in, current.data(), chunkSize);
    if (got < 0)
        return Result::ReadFailed;
    for (qint64 index = 0;; ++index) {
        qint64 following = 0;
        if (got == chunkSize) {
            following = readFull(in, next.data(), chunkSize);
            if (following < 0)
                return Result::ReadFailed;
        }
        const bool last = following == 0;
        if (!cipher->seal(index, last, bytes(current), got, bytes(sealed))
            || !writeFull(out, sealed.constData(), got + cipher->overhead()))
            return Result::WriteFailed;
        if (last)
            return Result::Done;
        current.swap(next);
        got = following;
    }
}

FileCipher::Result FileCipher::decrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                                       const CipherBinding &binding)
{
    FileDecryptor decryptor(
        key, binding, [&out](const char *data, qint64 size) { return writeFull(out, data, size); });
    QByteArray buffer(DefaultChunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 got = readFull(in, buffer.data(), buffer.size());
        if (got < 0)
            return Result::ReadFailed;
        if (got == 0)
            return decryptor.finish();
        if (!decryptor.feed(buffer.constData(), got))
            return decryptor.result();
    }
}

} // namespace Quorvane
