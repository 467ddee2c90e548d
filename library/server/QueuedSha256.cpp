#include "QueuedSha256.h"

#include <algorithm>
#include <cstring>

namespace Quorvane {

QueuedSha256::~QueuedSha256()
{
    if (!m_running)
        return;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_forThread.notify_all();
    }
    pthread_join(m_thread, nullptr);
}

bool QueuedSha256::startThread()
{
    m_ring = std::make_unique<char[]>(RingSize);
    m_running = pthread_create(&m_thread, nullptr, &QueuedSha256::run, this) == 0;
    if (!m_running)
        m_ring.reset();
    return m_running;
}

void QueuedSha256::add(const char *data, size_t size)
{
    if (!m_running) {
        m_total += size;
        // No thread to be had: hash here rather than not at all.
        if (!m_inline && m_total > InlineBytes)
            m_inline = !startThread();
        if (!m_running) {
            m_hash.add(data, size);
            return;
        }
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    while (size > 0) {
        const uint64_t used = m_queued - m_hashed;
        if (used == RingSize) {
            if (!m_hashing) {
                hashNext(lock);
            } else {
                m_callerWaits = true;
                m_forCaller.wait(lock);
                m_callerWaits = false;
            }
            continue;
        }
        const size_t at = size_t(m_queued % RingSize);
        const size_t part = std::min({ size, size_t(RingSize - used), RingSize - at });
        // The part of the ring past m_queued is nobody's but ours.
        lock.unlock();
        std::memcpy(m_ring.get() + at, data, part);
        lock.lock();
        m_queued += part;
        data += part;
        size -= part;
        if (m_threadWaits && !m_hashing && m_queued - m_hashed >= Batch)
            m_forThread.notify_one();
    }
}

void QueuedSha256::hashNext(std::unique_lock<std::mutex> &lock)
{
    m_hashing = true;
    const size_t at = size_t(m_hashed % RingSize);
    const size_t part = std::min({ size_t(m_queued - m_hashed), Batch, RingSize - at });
    lock.unlock();
    m_hash.add(m_ring.get() + at, part);
    lock.lock();
    m_hashed += part;
    m_hashing = false;
    if (m_callerWaits)
        m_forCaller.notify_one();
    if (m_threadWaits && m_queued - m_hashed >= Batch)
        m_forThread.notify_one();
}

void QueuedSha256::drain(std::unique_lock<std::mutex> &lock)
{
    while (m_hashed < m_queued || m_hashing) {
        // Waiting for the thread to be scheduled would cost more than the hash.
        if (!m_hashing && m_hashed < m_queued) {
            hashNext(lock);
        } else {
            m_callerWaits = true;
            m_forCaller.wait(lock);
            m_callerWaits = false;
        }
    }
}

void QueuedSha256::reset()
{
    if (m_running) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (m_hashing) {
            m_callerWaits = true;
            m_forCaller.wait(lock);
            m_callerWaits = false;
        }
        m_hashed = m_queued; // dropped unhashed
        m_hash.reset();
    } else {
        m_hash.reset();
    }
    m_total = 0;
}

QByteArray QueuedSha256::digest()
{
    if (m_running) {
        std::unique_lock<std::mutex> lock(m_mutex);
        drain(lock);
        return m_hash.digest();
    }
    return m_hash.digest();
}

void *QueuedSha256::run(void *self)
{
    static_cast<QueuedSha256 *>(self)->work();
    return nullptr;
}

void QueuedSha256::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (!m_stopping && (m_hashing || m_queued - m_hashed < Batch)) {
            m_threadWaits = true;
            m_forThread.wait(lock);
        }
        m_threadWaits = false;
        if (m_stopping)
            return;
        hashNext(lock);
    }
}

} // namespace Quorvane
