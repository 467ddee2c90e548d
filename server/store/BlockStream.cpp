#include "store/BlockStream.h"

#include "store/BlockPool.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace QuorvaneServer {

BlockStream::BlockStream(BlockPool &pool)
    : m_pool(pool)
    , m_pieceSize(pool.blockSize())
    , m_ready(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_ready < 0)
        throw std::runtime_error(std::string("cannot create an event: ") + std::strerror(errno));
}

BlockStream::~BlockStream()
{
    m_pool.give(std::move(m_buffer));
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
        if (!m_buffer) {
            lock.unlock();
            std::unique_ptr<char[]> buffer = m_pool.take();
            lock.lock();
            m_buffer = std::move(buffer);
            if (m_closed)
                return false;
        }
        const size_t taken = std::min(size, m_pieceSize - m_filled);
        std::memcpy(m_buffer.get() + m_filled, data, taken);
        m_filled += taken;
        data += taken;
        size -= taken;
        if (m_filled == m_pieceSize) {
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
        data = m_buffer.get();
        size = m_filled;
        return Next::Piece;
    }
    if (m_ended)
        return m_whole ? Next::End : Next::Broken;
    return Next::Later;
}

void BlockStream::release()
{
    std::unique_ptr<char[]> buffer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handed = false;
        m_filled = 0;
        buffer = std::move(m_buffer);
    }
    m_pool.give(std::move(buffer));
    m_released.notify_all();
}

void BlockStream::close()
{
    std::unique_ptr<char[]> buffer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        buffer = std::move(m_buffer);
    }
    m_pool.give(std::move(buffer));
    m_released.notify_all();
}

} // namespace QuorvaneServer
