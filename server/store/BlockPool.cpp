#include "store/BlockPool.h"

#include "store/TransferBudget.h"

namespace QuorvaneServer {

BlockPool::BlockPool(std::shared_ptr<TransferBudget> budget, size_t blockSize, size_t count)
    : m_budget(std::move(budget))
    , m_blockSize(blockSize)
    , m_unallocated(count)
{
    m_budget->pin(count * blockSize);
}

BlockPool::~BlockPool()
{
    m_budget->give(m_allocated * m_blockSize);
}

TransferMemory::Buffer BlockPool::tryTake()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_free.empty()) {
        // A transfer waiting for its share comes first.
        if (m_unallocated == 0 || !m_budget->tryTake(m_blockSize))
            return {};
        --m_unallocated;
        ++m_allocated;
        lock.unlock();
        TransferMemory::Buffer block;
        if (!block.reset(m_blockSize)) {
            lock.lock();
            ++m_unallocated;
            --m_allocated;
            m_budget->give(m_blockSize);
        }
        return block;
    }
    TransferMemory::Buffer block = std::move(m_free.back());
    m_free.pop_back();
    return block;
}

void BlockPool::give(TransferMemory::Buffer block)
{
    if (!block.data())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_free.push_back(std::move(block));
}

size_t BlockPool::kept() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_allocated;
}

size_t BlockPool::lent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_allocated - m_free.size();
}

} // namespace QuorvaneServer
