#include "BackgroundSha256.h"

#include <cstring>

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
    m_waiting.push_back({ data, size, QByteArray() });
    m_changed.notify_all();
}

void BackgroundSha256::addCopy(const char *data, size_t size)
{
    if (!handOver(size)) {
        finish(); // what came before goes first
        m_hash.add(data, size);
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_waiting.size() >= Depth) {
        // The thread has not got to the oldest (a busy machine): waiting
        // for it to be scheduled would cost more than the hash.
        if (!m_hashing)
            hashOldest(lock);
        else
            m_changed.wait(lock);
    }
    QByteArray copy;
    if (!m_spare.empty()) {
        copy = std::move(m_spare.back());
        m_spare.pop_back();
    }
    lock.unlock();
    // Copied outside the lock, into a buffer whose pages are already ours.
    copy.resize(qsizetype(size));
    std::memcpy(copy.data(), data, size);
    lock.lock();
    const char *bytes = copy.constData();
    m_waiting.push_back({ bytes, size, std::move(copy) });
    m_changed.notify_all();
}

void BackgroundSha256::hashOldest(std::unique_lock<std::mutex> &lock)
{
    m_hashing = true;
    const Block &block = m_waiting.front(); // stays put: only its hasher pops it
    lock.unlock();
    m_hash.add(block.data, block.size);
    lock.lock();
    m_hashing = false;
    if (!m_waiting.front().copy.isNull())
        m_spare.push_back(std::move(m_waiting.front().copy));
    m_waiting.pop_front();
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
    while (!m_waiting.empty()) {
        if (!m_hashing)
            hashOldest(lock); // as in addCopy
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
        m_changed.wait(lock, [this] { return m_stopping || (!m_waiting.empty() && !m_hashing); });
        if (m_waiting.empty() || m_hashing)
            return; // stopping, and its owner waited for every block first
        hashOldest(lock);
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
