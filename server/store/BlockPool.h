#pragma once

#include "store/TransferMemory.h"

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
// made and kept there. The blocks are mapped apart from malloc, at the start
// of a page: one of malloc's began 16 bytes into its page, and copying the
// store's bytes in from curl's buffer, which starts at a page, took a
// download 60% more processor time.
class BlockPool
{
public:
    BlockPool(std::shared_ptr<TransferBudget> budget, size_t blockSize, size_t count);
    ~BlockPool();
    BlockPool(const BlockPool &) = delete;
    BlockPool &operator=(const BlockPool &) = delete;

    size_t blockSize() const { return m_blockSize; }
    // Empty when all are taken.
    TransferMemory::Buffer tryTake();
    void give(TransferMemory::Buffer block);
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
    std::vector<TransferMemory::Buffer> m_free;
};

} // namespace QuorvaneServer
