#include "BackgroundSha256.h"

namespace Quorvane {

BackgroundSha256::~BackgroundSha256()
{
    stop();
}

void BackgroundSha256::begin(const char *data, size_t size)
{
    finish();
    m_total += size;
    if (size < InlineBlock || (!m_running && m_total <= InlineBytes)) {
        m_hash.add(data, size);
        return;
    }
    if (!m_running)
        m_running = pthread_create(&m_thread, nullptr, &BackgroundSha256::run, this) == 0;
    if (!m_running) {
        // No thread to be had: hash here rather than not at all.
        m_hash.add(data, size);
        return;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_block = data;
    m_blockSize = size;
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
    if (m_block && !m_taken) {
        // The thread has not got to it (a busy machine): waiting for it to
        // be scheduled would cost more than the hash.
        const char *block = m_block;
        m_block = nullptr;
        lock.unlock();
        m_hash.add(block, m_blockSize);
        return;
    }
    m_changed.wait(lock, [this] { return !m_block; });
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
        m_changed.wait(lock, [this] { return m_stopping || m_block; });
        if (!m_block)
            return;
        // The block stays put while it is set: its owner waits for it.
        const char *block = m_block;
        const size_t size = m_blockSize;
        m_taken = true;
        lock.unlock();
        m_hash.add(block, size);
        lock.lock();
        m_taken = false;
        m_block = nullptr;
        m_changed.notify_all();
    }
}

void BackgroundSha256::stop()
{
    if (!m_running)
        return;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_block; });
        m_stopping = true;
        m_changed.notify_all();
    }
    pthread_join(m_thread, nullptr);
    m_running = false;
}

} // namespace Quorvane
