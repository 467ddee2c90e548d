#include "FileCipher.h"

#include "FileDecryptor.h"

#include <QIODevice>
#include <sodium.h>

namespace Quorvane {

namespace {

constexpr char Magic[] = "QVEF";
constexpr int MagicSize = 4;
constexpr int Abytes = crypto_secretstream_xchacha20poly1305_ABYTES;
constexpr int PrefixSize = MagicSize + 1 + MasterKey::IdSize + 4;
static_assert(PrefixSize + crypto_secretstream_xchacha20poly1305_HEADERBYTES
                  == FileCipher::HeaderSize,
              "the header's layout");

unsigned char *bytes(QByteArray &value)
{
    return reinterpret_cast<unsigned char *>(value.data());
}

const unsigned char *bytes(const QByteArray &value)
{
    return reinterpret_cast<const unsigned char *>(value.constData());
}

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

} // namespace

bool FileCipher::isEncrypted(const QByteArray &start)
{
    return start.startsWith(Magic);
}

FileCipher::Result FileCipher::encrypt(QIODevice &in, QIODevice &out, const MasterKey &key,
                                       const CipherBinding &binding, int chunkSize)
{
    MasterKey::setUpSodium();
    if (chunkSize < 1 || chunkSize > MaxChunkSize)
        return Result::WriteFailed;
    QByteArray prefix(Magic, MagicSize);
    prefix += char(Version);
    prefix += key.id();
    for (int shift = 0; shift < 32; shift += 8)
        prefix += char((quint32(chunkSize) >> shift) & 0xff);
    const QByteArray associated = prefix + binding.bytes();

    MasterKey::Subkey subkey = key.subkey(MasterKey::Purpose::FileBytes);
    crypto_secretstream_xchacha20poly1305_state state;
    QByteArray header(crypto_secretstream_xchacha20poly1305_HEADERBYTES, Qt::Uninitialized);
    crypto_secretstream_xchacha20poly1305_init_push(&state, bytes(header), subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    if (!writeFull(out, prefix.constData(), prefix.size())
        || !writeFull(out, header.constData(), header.size()))
        return Result::WriteFailed;

    // One chunk read ahead tells whether the current one is the last.
    QByteArray current(chunkSize, Qt::Uninitialized);
    QByteArray next(chunkSize, Qt::Uninitialized);
    QByteArray sealed(chunkSize + Abytes, Qt::Uninitialized);
    qint64 got = readFull(in, current.data(), chunkSize);
    if (got < 0)
        return Result::ReadFailed;
    for (;;) {
        qint64 following = 0;
        if (got == chunkSize) {
            following = readFull(in, next.data(), chunkSize);
            if (following < 0)
                return Result::ReadFailed;
        }
        const bool last = following == 0;
        unsigned long long sealedSize = 0;
        crypto_secretstream_xchacha20poly1305_push(
            &state, bytes(sealed), &sealedSize, bytes(current), quint64(got), bytes(associated),
            quint64(associated.size()),
            last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                 : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
        if (!writeFull(out, sealed.constData(), qint64(sealedSize)))
            return Result::WriteFailed;
        if (last)
            break;
        current.swap(next);
        got = following;
    }
    sodium_memzero(&state, sizeof state);
    return Result::Done;
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
