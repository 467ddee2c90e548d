#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace QuorvaneServer {

class BlockPool;

// A file handed from a store's transfer thread to its reader one piece at a
// time, in one buffer taken from a pool while it is filled and sent: the
// transfer fills it, the reader checks and sends it in place and gives it
// back. Unlike a pipe, the bytes are neither copied into
// the kernel and out again nor is the reader woken for every piece; the
// transfer waits meanwhile, its socket's buffer taking what the store sends.
class BlockStream
{
public:
    explicit BlockStream(BlockPool &pool);
    ~BlockStream();
    BlockStream(const BlockStream &) = delete;
    BlockStream &operator=(const BlockStream &) = delete;

    // Readable while a piece or the end waits for the reader; for its event
    // loop. Stays with the stream.
    int readyFd() const { return m_ready; }

    // The transfer's side: copies size bytes in, waiting while the reader
    // holds a full piece; false once the reader has gone.
    bool write(const char *data, size_t size);
    // No more bytes come; whole when the transfer ended well.
    void end(bool whole);

    enum class Next { Piece, Later, End, Broken };
    // The reader's side: a piece at data, size bytes, until release(); the
    // last may be shorter. Later: wait for readyFd().
    Next next(const char *&data, size_t &size);
    void release();
    // The reader goes: the transfer stops at its next write.
    void close();

private:
    void signal();
    void drain();

    BlockPool &m_pool;
    const size_t m_pieceSize;
    int m_ready = -1;
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::unique_ptr<char[]> m_buffer;
    size_t m_filled = 0;
    bool m_handed = false; // the reader holds the buffer
    bool m_ended = false;
    bool m_whole = false;
    bool m_closed = false;
};

} // namespace QuorvaneServer
