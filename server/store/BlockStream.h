#pragma once

#include "store/TransferBudget.h"
#include "store/TransferMemory.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>

namespace QuorvaneServer {

class BlockPool;

// A file handed from a store's transfer thread to its reader one piece at a
// time: the transfer fills a buffer, the reader checks and sends it in place
// and gives it back. A piece is a whole block in a buffer of the pool when one
// is free, else a smaller piece in the stream's own buffer; a piece never
// crosses a block's end. Unlike a pipe, the bytes are neither copied into
// the kernel and out again nor is the reader woken for every piece; the
// transfer waits meanwhile, its socket's buffer taking what the store sends.
class BlockStream
{
public:
    // The stream's own buffer, used when the pool has none free.
    static constexpr size_t OwnSize = 128 * 1024;

    // share: the budget's bytes for the stream's own buffer, held while it
    // lives.
    BlockStream(std::shared_ptr<BlockPool> pool, TransferBudget::Share share = {});
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
    // For the transfer, to stop while the store is slow to send.
    bool closed() const { return m_gone.load(std::memory_order_relaxed); }

private:
    void signal();
    void drain();

    const std::shared_ptr<BlockPool> m_pool;
    TransferBudget::Share m_share;
    const size_t m_blockSize;
    int m_ready = -1;
    std::mutex m_mutex;
    std::condition_variable m_released;
    TransferMemory::Buffer m_buffer; // from the pool, for one piece
    TransferMemory::Buffer m_own; // kept once made
    char *m_piece = nullptr; // the one being filled or handed
    size_t m_capacity = 0;
    size_t m_filled = 0;
    size_t m_inBlock = 0; // bytes of the current block in earlier pieces
    bool m_handed = false; // the reader holds the buffer
    bool m_ended = false;
    bool m_whole = false;
    bool m_closed = false;
    std::atomic<bool> m_gone { false }; // m_closed, read without the lock
};

} // namespace QuorvaneServer
