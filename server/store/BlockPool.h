#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace QuorvaneServer {

class TransferBudget;

// A fixed number of equal buffers shared by all downloads from a store, so
// their memory stays the same however many run. Nobody waits for one: a slow
// client may keep its buffer for minutes, so a download that finds none free
// makes do without. Each block is taken from the store's budget when first
// made and kept there.
class BlockPool
{
public:
    BlockPool(std::shared_ptr<TransferBudget> budget, size_t blockSize, size_t count);
    ~BlockPool();
    BlockPool(const BlockPool &) = delete;
    BlockPool &operator=(const BlockPool &) = delete;

    size_t blockSize() const { return m_blockSize; }
    // Null when all are taken.
    std::unique_ptr<char[]> tryTake();
    void give(std::unique_ptr<char[]> block);
    // Blocks made so far, and those of them a download holds now.
    size_t kept() const;
    size_t lent() const;

private:
    const std::shared_ptr<TransferBudget> m_budget;
    const size_t m_blockSize;
    mutable std::mutex m_mutex;
    // Allocated when first needed, then kept.
    size_t m_unallocated;
    size_t m_allocated = 0;
    std::vector<std::unique_ptr<char[]>> m_free;
};

} // namespace QuorvaneServer
