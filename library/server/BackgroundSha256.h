#pragma once

#include "Sha256.h"

#include <QByteArray>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace Quorvane {

// A SHA-256 that runs beside the transfer's own work on the same bytes, on a
// thread of its own: blocks are hashed in the order they come, while the
// caller goes on. Small inputs are hashed at once.
//
// begin() hashes the caller's block in place, which must then stay as it is
// until finish() (writing a download to disk meanwhile). addCopy() hashes a
// copy and lets the caller go on at once (sending an upload, whose buffer
// curl refills): the thread may fall several blocks behind before anyone
// waits for it, so a moment without a processor for it does not stall the
// transfer. If the caller has to wait and the thread has not started on the
// oldest block, the caller hashes it itself.
class BackgroundSha256
{
public:
    BackgroundSha256() = default;
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // Starts hashing data, which must stay as it is until finish().
    void begin(const char *data, size_t size);
    // Hashes a copy of data; data is free again at once.
    void addCopy(const char *data, size_t size);
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
    // Copies waiting at most: how far the thread may fall behind.
    static constexpr size_t Depth = 8;

    struct Block
    {
        const char *data;
        size_t size;
        QByteArray copy; // empty for a block of the caller's
    };

    // Whether a block of this size goes to the thread; starts it when needed.
    bool handOver(size_t size);
    // Hashes the oldest waiting block on this thread; the lock is held.
    void hashOldest(std::unique_lock<std::mutex> &lock);
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
    std::deque<Block> m_waiting; // in order; the first may be being hashed
    bool m_hashing = false; // someone is hashing m_waiting.front()
    bool m_stopping = false;
    // Buffers of copies hashed already, for the next copies.
    std::vector<QByteArray> m_spare;
};

} // namespace Quorvane
