#include "store/BlockPool.h"

namespace QuorvaneServer {

BlockPool::BlockPool(size_t blockSize, size_t count)
    : m_blockSize(blockSize)
    , m_unallocated(count)
{
}

std::unique_ptr<char[]> BlockPool::tryTake()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_free.empty()) {
        if (m_unallocated == 0)
            return nullptr;
        --m_unallocated;
        lock.unlock();
        return std::unique_ptr<char[]>(new char[m_blockSize]);
    }
    std::unique_ptr<char[]> block = std::move(m_free.back());
    m_free.pop_back();
    return block;
}

void BlockPool::give(std::unique_ptr<char[]> block)
{
    if (!block)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_free.push_back(std::move(block));
}

} // namespace QuorvaneServer
