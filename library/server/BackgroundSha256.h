#pragma once

#include "Sha256.h"

#include <QByteArray>
#include <condition_variable>
#include <mutex>
#include <pthread.h>

namespace Quorvane {

// A SHA-256 that runs beside the transfer's own work on the same bytes: the
// caller starts hashing a block, does its own work with it (writing it to
// disk), and waits before the block changes. No byte is copied for the hash,
// and nothing waits in memory. Small inputs are hashed at once.
class BackgroundSha256
{
public:
    BackgroundSha256() = default;
    ~BackgroundSha256();
    BackgroundSha256(const BackgroundSha256 &) = delete;
    BackgroundSha256 &operator=(const BackgroundSha256 &) = delete;

    // Starts hashing data, which must stay as it is until finish().
    void begin(const char *data, size_t size);
    // Waits until what begin() started is hashed.
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
    const char *m_block = nullptr; // handed to the thread, not yet hashed
    size_t m_blockSize = 0;
    bool m_taken = false; // the thread is hashing m_block
    bool m_stopping = false;
};

} // namespace Quorvane
