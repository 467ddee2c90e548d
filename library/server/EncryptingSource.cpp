#include "EncryptingSource.h"

#include "PrivateFiles.h"

#include <cstring>

namespace Quorvane {

EncryptingSource::EncryptingSource(const QString &fileName, const MasterKey &key,
                                   const CipherBinding &binding, int chunkSize, int version)
    : m_plain(fileName)
    , m_key(key)
    , m_binding(binding)
    , m_chunkSize(chunkSize)
    , m_version(version)
{
}

EncryptingSource::~EncryptingSource() = default;

bool EncryptingSource::open(OpenMode mode)
{
    if ((mode & (ReadWrite | Append | Truncate)) != ReadOnly)
        return false;
    // A fresh header each time: a file opened again is sealed anew.
    m_cipher = ChunkCipher::forSealing(m_version, m_key, m_binding, m_chunkSize);
    if (!m_cipher)
        return false;
    if (!PrivateFiles::openForReading(m_plain)) {
        m_cipher.reset();
        setErrorString(tr("Not a readable regular file"));
        return false;
    }
    m_plainSize = m_plain.size();
    m_chunks = m_plainSize == 0 ? 1 : (m_plainSize + m_chunkSize - 1) / m_chunkSize;
    m_current = -1;
    m_cursor = 0;
    // Every buffer now, none per chunk, and no larger than the file needs.
    const qint64 chunk = qMin<qint64>(m_chunkSize, m_plainSize);
    m_sealed.reset(new unsigned char[size_t(chunk + m_cipher->overhead())]);
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
    return m_cipher ? m_cipher->sealedSize(m_plainSize) : 0;
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
    qint64 next = index;
    if (!m_cipher->sealsInAnyOrder()) {
        // Back to the start, or after a failure: the stream is replayed
        // from there.
        next = m_current + 1;
        if (index < next || m_current < 0)
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
        if (!m_cipher->seal(next, next == m_chunks - 1, m_plainChunk.get(), length,
                            m_sealed.get())) {
            setErrorString(tr("The file cannot be encrypted"));
            m_current = -1;
            return false;
        }
        m_current = next;
    }
    return true;
}

qint64 EncryptingSource::readData(char *data, qint64 maxSize)
{
    const qint64 headerSize = m_cipher->header().size();
    qint64 done = 0;
    while (done < maxSize && m_cursor < size()) {
        if (m_cursor < headerSize) {
            const qint64 part = qMin(maxSize - done, headerSize - m_cursor);
            std::memcpy(data + done, m_cipher->header().constData() + m_cursor, size_t(part));
            done += part;
            m_cursor += part;
            continue;
        }
        const qint64 inStream = m_cursor - headerSize;
        const qint64 sealedChunk = qint64(m_chunkSize) + m_cipher->overhead();
        const qint64 index = inStream / sealedChunk;
        if (index != m_current && !produce(index))
            return done > 0 ? done : -1;
        const qint64 chunkLength
            = qMin<qint64>(m_chunkSize, m_plainSize - index * m_chunkSize) + m_cipher->overhead();
        const qint64 offset = inStream - index * sealedChunk;
        const qint64 part = qMin(maxSize - done, chunkLength - offset);
        std::memcpy(data + done, m_sealed.get() + offset, size_t(part));
        done += part;
        m_cursor += part;
    }
    return done;
}

} // namespace Quorvane
