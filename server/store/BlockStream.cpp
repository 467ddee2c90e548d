#include "store/BlockStream.h"

#include "store/BlockPool.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace QuorvaneServer {

BlockStream::BlockStream(std::shared_ptr<BlockPool> pool, TransferBudget::Share share)
    : m_pool(std::move(pool))
    , m_share(std::move(share))
    , m_blockSize(m_pool->blockSize())
    , m_ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_ready < 0)
        throw std::runtime_error(std::string("cannot create an event: ") + std::strerror(errno));
}

BlockStream::~BlockStream()
{
    m_pool->give(std::move(m_buffer));
    ::close(m_ready);
}

void BlockStream::signal()
{
    const uint64_t one = 1;
    // Only fails when the counter is full, which is readable all the same.
    [[maybe_unused]] const ssize_t written = ::write(m_ready, &one, sizeof one);
}

void BlockStream::drain()
{
    uint64_t count;
    [[maybe_unused]] const ssize_t got = ::read(m_ready, &count, sizeof count);
}

bool BlockStream::write(const char *data, size_t size)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (size > 0) {
        m_released.wait(lock, [this] { return m_closed || !m_handed; });
        if (m_closed)
            return false;
        if (!m_piece) {
            lock.unlock();
            TransferMemory::Buffer buffer = m_pool->tryTake();
            TransferMemory::Buffer own;
            // No memory: the transfer stops, as a reader that went stops it.
            if (!buffer.data() && !m_own.data() && !own.reset(OwnSize))
                return false;
            lock.lock();
            if (own.data())
                m_own = std::move(own);
            m_buffer = std::move(buffer);
            if (m_closed)
                return false;
            m_piece = m_buffer.data() ? m_buffer.data() : m_own.data();
            m_capacity = std::min(m_buffer.data() ? m_blockSize : OwnSize, m_blockSize - m_inBlock);
        }
        const size_t taken = std::min(size, m_capacity - m_filled);
        std::memcpy(m_piece + m_filled, data, taken);
        m_filled += taken;
        data += taken;
        size -= taken;
        if (m_filled == m_capacity) {
            m_handed = true;
            signal();
        }
    }
    return true;
}

void BlockStream::end(bool whole)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_ended = true;
    m_whole = whole;
    signal();
}

BlockStream::Next BlockStream::next(const char *&data, size_t &size)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Under the lock, as the transfer signals: no signal is lost.
    drain();
    if (!m_handed && m_ended && m_filled > 0)
        m_handed = true;
    if (m_handed) {
        data = m_piece;
        size = m_filled;
        return Next::Piece;
    }
    if (m_ended)
        return m_whole ? Next::End : Next::Broken;
    return Next::Later;
}

void BlockStream::release()
{
    TransferMemory::Buffer buffer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handed = false;
        m_inBlock = (m_inBlock + m_filled) % m_blockSize;
        m_filled = 0;
        m_piece = nullptr;
        buffer = std::move(m_buffer);
    }
    m_pool->give(std::move(buffer));
    m_released.notify_all();
}

void BlockStream::close()
{
    TransferMemory::Buffer buffer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        m_gone = true;
        m_piece = nullptr;
        buffer = std::move(m_buffer);
    }
    m_pool->give(std::move(buffer));
    m_released.notify_all();
}

} // namespace QuorvaneServer
