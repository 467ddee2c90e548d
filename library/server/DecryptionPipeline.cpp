#include "DecryptionPipeline.h"

namespace Quorvane {

namespace {

// Blocks of about a default chunk's size keep the worker's calls few; four
// of them each way keep both threads busy while bounding memory to a few
// chunks. They end where the file's chunks end (the first holds the header
// too), so the worker opens each chunk where it lies.
constexpr size_t MaxQueued = 4;

} // namespace

DecryptionPipeline::DecryptionPipeline(const MasterKey &key, const CipherBinding &binding,
                                       Writer writer)
    : m_writer(std::move(writer))
    , m_decryptor(key, binding, [this](QByteArray &plain) { return hold(plain); })
{
    m_worker = std::thread([this] { run(); });
}

DecryptionPipeline::~DecryptionPipeline()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_worker.join();
}

bool DecryptionPipeline::failed() const
{
    return m_writeFailed || m_result != FileCipher::Result::Done;
}

QByteArray DecryptionPipeline::spare(std::vector<QByteArray> &spares)
{
    if (spares.empty())
        return QByteArray();
    QByteArray block = std::move(spares.back());
    spares.pop_back();
    return block;
}

void DecryptionPipeline::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || m_ending || !m_sealed.empty(); });
        if (m_stopping)
            return;
        bool ok = true;
        if (!m_sealed.empty()) {
            QByteArray block = std::move(m_sealed.front());
            m_sealed.pop_front();
            lock.unlock();
            ok = m_decryptor.feed(block.constData(), block.size());
            lock.lock();
            block.resize(0);
            m_sealedSpares.push_back(std::move(block));
        } else {
            lock.unlock();
            ok = m_decryptor.finish() == FileCipher::Result::Done;
            lock.lock();
            m_ended = true;
        }
        if (!ok) {
            m_result = m_decryptor.result();
            m_ended = true;
        }
        m_changed.notify_all();
        if (m_ended)
            return;
    }
}

bool DecryptionPipeline::hold(QByteArray &plain)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock,
                   [this] { return m_stopping || m_writeFailed || m_plain.size() < MaxQueued; });
    if (m_stopping || m_writeFailed)
        return false;
    QByteArray block = spare(m_plainSpares);
    block.swap(plain);
    m_plain.push_back(std::move(block));
    m_changed.notify_all();
    return true;
}

void DecryptionPipeline::writeReady(std::unique_lock<std::mutex> &lock)
{
    while (!m_plain.empty() && !m_writeFailed) {
        QByteArray block = std::move(m_plain.front());
        m_plain.pop_front();
        m_changed.notify_all(); // room for the worker's next chunk
        lock.unlock();
        // Hashed while the disk takes it, off the cipher's thread, so nobody
        // reads the file again for its digest.
        m_plainHash.begin(block.constData(), size_t(block.size()));
        const bool written = m_writer(block.constData(), block.size());
        m_plainHash.finish();
        lock.lock();
        m_plainSpares.push_back(std::move(block));
        if (!written) {
            m_writeFailed = true;
            m_changed.notify_all();
        }
    }
}

bool DecryptionPipeline::submit()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        writeReady(lock);
        if (failed())
            return false;
        if (m_sealed.size() < MaxQueued)
            break;
        m_changed.wait(
            lock, [this] { return m_sealed.size() < MaxQueued || !m_plain.empty() || m_ended; });
    }
    m_sealed.push_back(std::move(m_filling));
    m_filling = spare(m_sealedSpares);
    m_first = false;
    m_changed.notify_all();
    return true;
}

void DecryptionPipeline::planBlocks()
{
    const ChunkCipher::Layout layout = ChunkCipher::layout(m_filling);
    if (!layout.valid()) {
        // The worker refuses it; the blocks only need a bound.
        m_block = FileCipher::DefaultChunkSize;
        m_firstBlock = m_block;
        return;
    }
    // As many whole chunks as a default chunk's size holds, one at least.
    // Chunks larger than ours (never written here) come in blocks of the
    // default size, which the worker gathers: the blocks stay small.
    const qsizetype sealedChunk = qsizetype(layout.chunkSize) + layout.overhead;
    m_block = layout.chunkSize > FileCipher::DefaultChunkSize
        ? FileCipher::DefaultChunkSize
        : sealedChunk * qMax<qsizetype>(1, FileCipher::DefaultChunkSize / sealedChunk);
    m_firstBlock = layout.headerSize + m_block;
}

bool DecryptionPipeline::feed(const char *data, qint64 size)
{
    while (size > 0) {
        // The prefix first: it tells where the chunks end.
        if (m_block == 0 && m_filling.size() >= FileCipher::PrefixSize)
            planBlocks();
        const qsizetype block = m_block == 0 ? FileCipher::PrefixSize
            : m_first                        ? m_firstBlock
                                             : m_block;
        if (m_filling.capacity() < block)
            m_filling.reserve(block);
        const qint64 take = qMin<qint64>(size, block - m_filling.size());
        m_filling.append(data, qsizetype(take));
        data += take;
        size -= take;
        if (m_block != 0 && m_filling.size() == block && !submit())
            return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    writeReady(lock);
    return !failed();
}

FileCipher::Result DecryptionPipeline::finish()
{
    if (!m_filling.isEmpty() && !submit())
        return result();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_ending = true;
    m_changed.notify_all();
    for (;;) {
        writeReady(lock);
        if (m_writeFailed || (m_ended && m_plain.empty()))
            break;
        m_changed.wait(lock, [this] { return m_ended || !m_plain.empty(); });
    }
    return m_writeFailed ? FileCipher::Result::WriteFailed : m_result;
}

FileCipher::Result DecryptionPipeline::result()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_writeFailed ? FileCipher::Result::WriteFailed : m_result;
}

} // namespace Quorvane
