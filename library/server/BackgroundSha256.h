#pragma once

#include "Sha256.h"

#include <QByteArray>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>

namespace Quorvane {

// A SHA-256 that keeps off the transfer's thread: small inputs are hashed at
// once, and past a threshold the blocks go to a thread of its own, with a
// bound on what waits there so that memory stays flat.
class BackgroundSha256
{
public:
    BackgroundSha256() = default;
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    void add(const char *data, size_t size);
    void reset();
    // Waits for what is queued, then gives the digest of everything added.
    QByteArray digest();

private:
    static constexpr size_t InlineBytes = 1024 * 1024;
    static constexpr size_t MaxQueued = 16 * 1024 * 1024;

    static void *run(void *self);
    void work();
    void drain(std::unique_lock<std::mutex> &lock);
    void stop();

    Sha256 m_hash;
    size_t m_total = 0;
    // A plain thread: std::thread's templates would carry our names out of
    // the library's exports.
    pthread_t m_thread {};
    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_queue;
    size_t m_queued = 0;
    bool m_busy = false;
    bool m_stopping = false;
};

} // namespace Quorvane
