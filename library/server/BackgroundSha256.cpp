#include "BackgroundSha256.h"

namespace Quorvane {

BackgroundSha256::~BackgroundSha256()
{
    stop();
}

bool BackgroundSha256::handOver(size_t size)
{
    m_total += size;
    if (size < InlineBlock || (!m_running && m_total <= InlineBytes))
        return false;
    if (!m_running)
        m_running = pthread_create(&m_thread, nullptr, &BackgroundSha256::run, this) == 0;
    // No thread to be had: hash here rather than not at all.
    return m_running;
}

void BackgroundSha256::begin(const char *data, size_t size)
{
    finish();
    if (!handOver(size)) {
        m_hash.add(data, size);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = data;
    m_size = size;
    m_changed.notify_all();
}

void BackgroundSha256::hashWaiting(std::unique_lock<std::mutex> &lock)
{
    m_hashing = true;
    lock.unlock();
    m_hash.add(m_data, m_size);
    lock.lock();
    m_hashing = false;
    m_data = nullptr;
    m_changed.notify_all();
}

void BackgroundSha256::add(const char *data, size_t size)
{
    finish();
    m_total += size;
    m_hash.add(data, size);
}

void BackgroundSha256::finish()
{
    if (!m_running)
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_data) {
        // The thread has not got to it (a busy machine): waiting for it to be
        // scheduled would cost more than the hash.
        if (!m_hashing)
            hashWaiting(lock);
        else
            m_changed.wait(lock);
    }
}

void BackgroundSha256::reset()
{
    finish();
    m_hash.reset();
    m_total = 0;
}

QByteArray BackgroundSha256::digest()
{
    finish();
    return m_hash.digest();
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
        m_changed.wait(lock, [this] { return m_stopping || (m_data && !m_hashing); });
        if (!m_data || m_hashing)
            return; // stopping, and its owner waited for the block first
        hashWaiting(lock);
    }
}

void BackgroundSha256::stop()
{
    if (!m_running)
        return;
    finish();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    pthread_join(m_thread, nullptr);
    m_running = false;
}

} // namespace Quorvane
