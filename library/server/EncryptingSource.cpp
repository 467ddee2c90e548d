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
    stop();
    sodium_memzero(&m_start, sizeof m_start);
    sodium_memzero(&m_state, sizeof m_state);
}

bool EncryptingSource::open(OpenMode mode)
{
    if ((mode & (ReadWrite | Append | Truncate)) != ReadOnly || m_chunkSize < 1
        || m_chunkSize > FileCipher::MaxChunkSize)
        return false;
    stop();
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
    // Every buffer now, none per chunk.
    m_slotSize = qMin<qint64>(m_chunkSize, m_plainSize) + Abytes;
    m_sealed.reset(new unsigned char[size_t(qMin<qint64>(Slots, m_chunks) * m_slotSize)]);
    m_plainChunk.reset(new unsigned char[size_t(qMin<qint64>(m_chunkSize, m_plainSize))]);
    m_cursor = 0;
    restart();
    return QIODevice::open(ReadOnly | Unbuffered);
}

void EncryptingSource::close()
{
    stop();
    QIODevice::close();
    m_plain.close();
    m_sealed.reset();
    m_plainChunk.reset();
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

qint64 EncryptingSource::sealedLength(qint64 index) const
{
    return qMin<qint64>(m_chunkSize, m_plainSize - index * m_chunkSize) + Abytes;
}

unsigned char *EncryptingSource::slot(qint64 index) const
{
    return m_sealed.get() + (index % Slots) * m_slotSize;
}

void EncryptingSource::stop()
{
    if (!m_worker.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_worker.join();
}

void EncryptingSource::restart()
{
    stop();
    m_state = m_start;
    m_sealedCount = 0;
    m_released = 0;
    m_stopping = false;
    m_failed = false;
    m_sealing = false;
    // One chunk is sealed in line: a thread would cost more than it saves.
    if (m_chunks > 1)
        m_worker = std::thread([this] { run(); });
}

void EncryptingSource::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] {
            return m_stopping || m_failed || m_sealedCount == m_chunks
                || (!m_sealing && m_sealedCount - m_released < Slots);
        });
        if (m_stopping || m_failed || m_sealedCount == m_chunks)
            return;
        sealNext(lock);
    }
}

bool EncryptingSource::sealNext(std::unique_lock<std::mutex> &lock)
{
    const qint64 index = m_sealedCount;
    m_sealing = true;
    lock.unlock();
    const bool sealed = seal(index);
    lock.lock();
    m_sealing = false;
    if (sealed)
        ++m_sealedCount;
    else
        m_failed = true;
    m_changed.notify_all();
    return sealed;
}

bool EncryptingSource::seal(qint64 index)
{
    const qint64 offset = index * m_chunkSize;
    const qint64 length = qMin<qint64>(m_chunkSize, m_plainSize - offset);
    char *plain = reinterpret_cast<char *>(m_plainChunk.get());
    qint64 got = 0;
    if (m_plain.pos() == offset || m_plain.seek(offset)) {
        while (got < length) {
            const qint64 part = m_plain.read(plain + got, length - got);
            if (part <= 0)
                break;
            got += part;
        }
    }
    if (got < length) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failure = tr("The file became shorter while it was sent.");
        return false;
    }
    const bool last = index == m_chunks - 1;
    crypto_secretstream_xchacha20poly1305_push(
        &m_state, slot(index), nullptr, m_plainChunk.get(), quint64(length),
        reinterpret_cast<const unsigned char *>(m_associated.constData()),
        quint64(m_associated.size()),
        last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
             : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    return true;
}

bool EncryptingSource::await(qint64 index)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (index < m_released) {
        // Its slot was given up: the stream is replayed from its start.
        lock.unlock();
        restart();
        lock.lock();
    }
    if (index > m_released) {
        m_released = index;
        m_changed.notify_all();
    }
    // The reader seals the chunk it needs itself when nobody is at it: it
    // waits only for a chunk the worker has in hand, never for the worker's
    // turn on a busy processor.
    while (!m_failed && m_sealedCount <= index) {
        if (m_sealing)
            m_changed.wait(lock);
        else
            sealNext(lock);
    }
    if (m_sealedCount > index)
        return true;
    setErrorString(m_failure);
    return false;
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
        if (!await(index))
            return done > 0 ? done : -1;
        const qint64 offset = inStream - index * sealedChunk;
        const qint64 part = qMin(maxSize - done, sealedLength(index) - offset);
        std::memcpy(data + done, slot(index) + offset, size_t(part));
        done += part;
        m_cursor += part;
        if (offset + part == sealedLength(index)) {
            // Read to its end: the slot is the worker's again.
            std::lock_guard<std::mutex> lock(m_mutex);
            m_released = qMax(m_released, index + 1);
            m_changed.notify_all();
        }
    }
    return done;
}

} // namespace Quorvane
