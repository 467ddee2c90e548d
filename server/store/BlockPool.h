#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

namespace QuorvaneServer {

// A fixed number of equal buffers shared by all downloads from a store, so
// their memory stays the same however many run: a download that finds none
// free waits until another gives one back.
class BlockPool
{
public:
    BlockPool(size_t blockSize, size_t count);
    BlockPool(const BlockPool &) = delete;
    BlockPool &operator=(const BlockPool &) = delete;

    size_t blockSize() const { return m_blockSize; }
    std::unique_ptr<char[]> take();
    void give(std::unique_ptr<char[]> block);

private:
    const size_t m_blockSize;
    std::mutex m_mutex;
    std::condition_variable m_given;
    // Allocated when first needed, then kept.
    size_t m_unallocated;
    std::vector<std::unique_ptr<char[]>> m_free;
};

} // namespace QuorvaneServer
