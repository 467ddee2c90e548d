#include "BackgroundSha256.h"

namespace Quorvane {

BackgroundSha256::~BackgroundSha256()
{
    stop();
}

void BackgroundSha256::add(const char *data, size_t size)
{
    m_total += size;
    if (!m_running && m_total <= InlineBytes) {
        m_hash.add(data, size);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_running)
        m_running = pthread_create(&m_thread, nullptr, &BackgroundSha256::run, this) == 0;
    if (!m_running) {
        // No thread to be had: hash here rather than not at all.
        lock.unlock();
        m_hash.add(data, size);
        return;
    }
    // A hash slower than the network holds the transfer back only here.
    m_changed.wait(lock, [this] { return m_queued < MaxQueued; });
    m_queue.emplace_back(data, qsizetype(size));
    m_queued += size;
    m_changed.notify_all();
}

void BackgroundSha256::reset()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    drain(lock);
    m_hash.reset();
    m_total = 0;
}

QByteArray BackgroundSha256::digest()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    drain(lock);
    return m_hash.digest();
}

void BackgroundSha256::drain(std::unique_lock<std::mutex> &lock)
{
    m_changed.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void *BackgroundSha256::run(void *self)
{
    static_cast<BackgroundSha256 *>(self)->work();
    return nullptr;
}

void BackgroundSha256::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const QByteArray block = std::move(m_queue.front());
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        m_hash.add(block.constData(), size_t(block.size()));
        lock.lock();
        m_busy = false;
        m_queued -= size_t(block.size());
        m_changed.notify_all();
    }
}

void BackgroundSha256::stop()
{
    if (!m_running)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queue.clear(); // what nobody asks the digest of need not be hashed
        m_changed.notify_all();
    }
    pthread_join(m_thread, nullptr);
    m_running = false;
}

} // namespace Quorvane
