#pragma once

#include "Sha256.h"

#include <QByteArray>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <pthread.h>

namespace Quorvane {

// The SHA-256 of what a download hands to its file. Past the first MiB the
// bytes are read back from the file, from the page cache, on a thread of its
// own that may run behind the writing: the writer neither hashes nor copies
// them, and waits for nothing until digest(). When that thread falls far
// behind, the writer catches up and hashes the next bytes itself for a while.
// The first MiB, and every byte when the file does not hold them where they
// were handed or no thread can be had, is hashed at once. Bytes that cannot
// be read back leave a digest that matches nothing; bytes changed in the file
// before they are read back are hashed as the file holds them.
class ReadBackSha256
{
public:
    ReadBackSha256() = default;
    ~ReadBackSha256();
    ReadBackSha256(const ReadBackSha256 &) = delete;
    ReadBackSha256 &operator=(const ReadBackSha256 &) = delete;

    // data, size bytes, were just written to the end of file (a descriptor
    // whose offset counts every byte handed since the start or reset()).
    void written(int file, const char *data, size_t size);
    // Forgets everything handed; the file may then be cut.
    void reset();
    // The digest of everything handed; waits for what is not hashed yet.
    QByteArray digest();

private:
    static constexpr uint64_t InlineBytes = 1024 * 1024;
    // Taken at a time, and what wakes the thread: a wake-up for every small
    // piece would cost more than its hash. With 1 MiB rather than 256 KiB a
    // download's client woke 1,100-1,300 times per GiB instead of 1,700-2,000.
    static constexpr uint64_t Batch = 1024 * 1024;
    // Read back at a time: the copy stays in the core's own cache until hashed.
    static constexpr size_t ReadPiece = 64 * 1024;
    // Further behind than this, the thread is short of a core: the writer
    // catches up itself and hashes the next InlineStretch bytes as handed.
    static constexpr uint64_t MaxBehind = 16 * 1024 * 1024;
    static constexpr uint64_t InlineStretch = 32 * 1024 * 1024;

    bool startThread(int file);
    // Reads back and hashes the oldest bytes not hashed; the lock is held and
    // nobody else is hashing.
    void hashNext(std::unique_lock<std::mutex> &lock);
    // Until nobody hashes; the lock is held.
    void waitIdle(std::unique_lock<std::mutex> &lock);
    static void *run(void *self);
    void work();

    Sha256 m_hash;
    uint64_t m_handed = 0;
    bool m_inline = false;
    // A plain thread: std::thread's templates would carry our names out of
    // the library's exports.
    pthread_t m_thread {};
    bool m_running = false;
    int m_reader = -1; // the file opened again for reading
    std::unique_ptr<char[]> m_buffer;
    bool m_unreadable = false;
    std::mutex m_mutex;
    std::condition_variable m_forThread;
    std::condition_variable m_forCaller;
    // Bytes in the file to be hashed, and those hashed, from its start.
    uint64_t m_written = 0;
    uint64_t m_hashed = 0;
    uint64_t m_inlineUntil = 0; // hashed as handed until this many are
    bool m_hashing = false;
    bool m_threadWaits = false;
    bool m_callerWaits = false;
    bool m_stopping = false;
};

} // namespace Quorvane
