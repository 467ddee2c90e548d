#include "EncryptingSource.h"

#include "PrivateFiles.h"

#include <cstring>

namespace Quorvane {

namespace {

constexpr int Abytes = crypto_secretstream_xchacha20poly1305_ABYTES;

} // namespace

EncryptingSource::EncryptingSource(const QString &fileName, const MasterKey &key,
                                   const CipherBinding &binding, int chunkSize)
    : m_plain(fileName)
    , m_key(key)
    , m_binding(binding)
    , m_chunkSize(chunkSize)
{
    MasterKey::setUpSodium();
}

EncryptingSource::~EncryptingSource()
{
    sodium_memzero(&m_start, sizeof m_start);
    sodium_memzero(&m_state, sizeof m_state);
}

bool EncryptingSource::open(OpenMode mode)
{
    if ((mode & (ReadWrite | Append | Truncate)) != ReadOnly || m_chunkSize < 1
        || m_chunkSize > FileCipher::MaxChunkSize)
        return false;
    if (!PrivateFiles::openForReading(m_plain)) {
        setErrorString(tr("Not a readable regular file"));
        return false;
    }
    m_plainSize = m_plain.size();
    m_chunks = m_plainSize == 0 ? 1 : (m_plainSize + m_chunkSize - 1) / m_chunkSize;

    m_header = QByteArray("QVEF", 4);
    m_header += char(FileCipher::Version);
    m_header += m_key.id();
    for (int shift = 0; shift < 32; shift += 8)
        m_header += char((quint32(m_chunkSize) >> shift) & 0xff);
    m_associated = m_header + m_binding.bytes();
    QByteArray streamHeader(crypto_secretstream_xchacha20poly1305_HEADERBYTES, Qt::Uninitialized);
    MasterKey::Subkey subkey = m_key.subkey(MasterKey::Purpose::FileBytes);
    crypto_secretstream_xchacha20poly1305_init_push(
        &m_start, reinterpret_cast<unsigned char *>(streamHeader.data()), subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    m_header += streamHeader;
    m_state = m_start;
    m_current = -1;
    m_cursor = 0;
    // Every buffer now, none per chunk, and no larger than the file needs.
    const qint64 chunk = qMin<qint64>(m_chunkSize, m_plainSize);
    m_sealed.reset(new unsigned char[size_t(chunk + Abytes)]);
    m_plainChunk.reset(new unsigned char[size_t(qMax<qint64>(chunk, 1))]);
    return QIODevice::open(ReadOnly | Unbuffered);
}

void EncryptingSource::close()
{
    QIODevice::close();
    m_plain.close();
    m_sealed.reset();
    m_plainChunk.reset();
    m_current = -1;
    m_cursor = 0;
}

qint64 EncryptingSource::size() const
{
    return FileCipher::HeaderSize + m_plainSize + m_chunks * Abytes;
}

bool EncryptingSource::seek(qint64 pos)
{
    if (pos < 0 || pos > size() || !QIODevice::seek(pos))
        return false;
    m_cursor = pos;
    return true;
}

bool EncryptingSource::produce(qint64 index)
{
    qint64 next = m_current + 1;
    if (index < next || m_current < 0) {
        // Back to the start, or after a failure: the stream's state is
        // replayed from there.
        m_state = m_start;
        next = 0;
    }
    for (; next <= index; ++next) {
        const qint64 offset = next * m_chunkSize;
        const qint64 length = qMin<qint64>(m_chunkSize, m_plainSize - offset);
        qint64 got = 0;
        char *plain = reinterpret_cast<char *>(m_plainChunk.get());
        if (m_plain.pos() == offset || m_plain.seek(offset)) {
            while (got < length) {
                const qint64 part = m_plain.read(plain + got, length - got);
                if (part <= 0)
                    break;
                got += part;
            }
        }
        if (got < length) {
            setErrorString(tr("The file became shorter while it was sent."));
            m_current = -1;
            return false;
        }
        const bool last = next == m_chunks - 1;
        crypto_secretstream_xchacha20poly1305_push(
            &m_state, m_sealed.get(), nullptr, m_plainChunk.get(), quint64(length),
            reinterpret_cast<const unsigned char *>(m_associated.constData()),
            quint64(m_associated.size()),
            last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
                 : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
        m_current = next;
    }
    return true;
}

qint64 EncryptingSource::readData(char *data, qint64 maxSize)
{
    qint64 done = 0;
    while (done < maxSize && m_cursor < size()) {
        if (m_cursor < FileCipher::HeaderSize) {
            const qint64 part = qMin(maxSize - done, FileCipher::HeaderSize - m_cursor);
            std::memcpy(data + done, m_header.constData() + m_cursor, size_t(part));
            done += part;
            m_cursor += part;
            continue;
        }
        const qint64 inStream = m_cursor - FileCipher::HeaderSize;
        const qint64 sealedChunk = qint64(m_chunkSize) + Abytes;
        const qint64 index = inStream / sealedChunk;
        if (index != m_current && !produce(index))
            return done > 0 ? done : -1;
        const qint64 chunkLength
            = qMin<qint64>(m_chunkSize, m_plainSize - index * m_chunkSize) + Abytes;
        const qint64 offset = inStream - index * sealedChunk;
        const qint64 part = qMin(maxSize - done, chunkLength - offset);
        std::memcpy(data + done, m_sealed.get() + offset, size_t(part));
        done += part;
        m_cursor += part;
    }
    return done;
}

} // namespace Quorvane
