#pragma once

#include "Sha256.h"

#include <QByteArray>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

namespace Quorvane {

// A SHA-256 that runs beside the transfer's own work on the same bytes, on a
// thread of its own: a download's block is hashed while the disk takes it.
// Small inputs are hashed at once. If the caller has to wait and the thread
// has not started on the block, the caller hashes it itself.
class BackgroundSha256
{
public:
    BackgroundSha256() = default;
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // Starts hashing data, which must stay as it is until finish().
    void begin(const char *data, size_t size);
    // Waits until everything handed over is hashed.
    void finish();
    // Hashes data here and now.
    void add(const char *data, size_t size);
    void reset();
    // The digest of everything added.
    QByteArray digest();

private:
    // Below these a hand-over to the thread costs more than the hash.
    static constexpr size_t InlineBytes = 1024 * 1024;
    static constexpr size_t InlineBlock = 32 * 1024;

    // Whether a block of this size goes to the thread; starts it when needed.
    bool handOver(size_t size);
    // Hashes the waiting block on this thread; the lock is held.
    void hashWaiting(std::unique_lock<std::mutex> &lock);
    static void *run(void *self);
    void work();
    void stop();

    Sha256 m_hash;
    size_t m_total = 0;
    // A plain thread: std::thread's templates would carry our names out of
    // the library's exports.
    pthread_t m_thread {};
    bool m_running = false;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const char *m_data = nullptr; // the block handed over, until it is hashed
    size_t m_size = 0;
    bool m_hashing = false; // someone is hashing m_data
    bool m_stopping = false;
};

} // namespace Quorvane
