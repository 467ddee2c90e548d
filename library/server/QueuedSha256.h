#pragma once

#include "Sha256.h"

#include <QByteArray>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace Quorvane {

// A SHA-256 whose bytes are copied into a ring and hashed on a thread of its
// own, up to the ring's size behind the caller: a download's writes do not
// wait for the hash after every block, and a thread that gets no processor
// for a while does not hold them up. When the ring is full and the thread is
// not hashing, the caller hashes the oldest bytes itself. Small inputs are
// hashed at once, with no thread.
class QueuedSha256
{
public:
    QueuedSha256() = default;
    ~QueuedSha256();
    QueuedSha256(const QueuedSha256 &) = delete;
    QueuedSha256 &operator=(const QueuedSha256 &) = delete;

    // Queues a copy of data; it may be reused at once.
    void add(const char *data, size_t size);
    // Forgets everything added.
    void reset();
    // The digest of everything added; waits for the queued bytes.
    QByteArray digest();

private:
    // Below this in all no thread is started.
    static constexpr size_t InlineBytes = 1024 * 1024;
    static constexpr size_t RingSize = 4 * 1024 * 1024;
    // Hashed at a time, and what wakes the thread: a wake-up for every
    // small piece would cost more than the piece's hash.
    static constexpr size_t Batch = 256 * 1024;

    bool startThread();
    // Hashes the oldest queued bytes here; the lock is held and nobody else
    // is hashing.
    void hashNext(std::unique_lock<std::mutex> &lock);
    // Until everything queued is hashed; the lock is held.
    void drain(std::unique_lock<std::mutex> &lock);
    static void *run(void *self);
    void work();

    Sha256 m_hash;
    size_t m_total = 0;
    bool m_inline = false; // no thread could be had: everything is hashed at once
    // A plain thread: std::thread's templates would carry our names out of
    // the library's exports.
    pthread_t m_thread {};
    bool m_running = false;
    std::unique_ptr<char[]> m_ring;
    std::mutex m_mutex;
    std::condition_variable m_forThread;
    std::condition_variable m_forCaller;
    // Bytes ever queued and ever hashed; the ring holds those in between.
    uint64_t m_queued = 0;
    uint64_t m_hashed = 0;
    bool m_hashing = false; // someone hashes the oldest bytes right now
    bool m_threadWaits = false;
    bool m_callerWaits = false;
    bool m_stopping = false;
};

} // namespace Quorvane
