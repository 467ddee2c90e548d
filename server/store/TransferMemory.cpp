#include "store/TransferMemory.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <map>
#include <mutex>
#include <sys/mman.h>
#include <unordered_map>
#include <utility>
#include <vector>

namespace QuorvaneServer {

namespace {

struct Kept
{
    std::mutex mutex;
    // Every mapped block, in use or waiting, with its size.
    std::unordered_map<void *, size_t> sizes;
    // The waiting ones, by size.
    std::map<size_t, std::vector<void *>> waiting;
    size_t bytes = 0;
};

Kept &keptBlocks()
{
    // Never destroyed: libcurl may free after static destructors ran.
    static Kept *const blocks = new Kept;
    return *blocks;
}

// Mapped blocks start at a page; malloc's rarely do, so most of libcurl's
// many small frees need no look-up under the lock.
bool mayBeMapped(const void *block)
{
    return (reinterpret_cast<uintptr_t>(block) & 4095) == 0;
}

// The size of a mapped block, 0 for one of malloc's.
size_t mappedSize(void *block)
{
    if (!mayBeMapped(block))
        return 0;
    Kept &blocks = keptBlocks();
    std::lock_guard<std::mutex> lock(blocks.mutex);
    const auto found = blocks.sizes.find(block);
    return found == blocks.sizes.end() ? 0 : found->second;
}

} // namespace

TransferMemory::Buffer::Buffer(Buffer &&other) noexcept
    : m_data(std::exchange(other.m_data, nullptr))
    , m_size(std::exchange(other.m_size, 0))
{
}

TransferMemory::Buffer &TransferMemory::Buffer::operator=(Buffer &&other) noexcept
{
    if (this != &other) {
        release(m_data);
        m_data = std::exchange(other.m_data, nullptr);
        m_size = std::exchange(other.m_size, 0);
    }
    return *this;
}

TransferMemory::Buffer::~Buffer()
{
    release(m_data);
}

bool TransferMemory::Buffer::reset(size_t size)
{
    if (size == m_size && m_data)
        return true;
    release(m_data);
    m_data = static_cast<char *>(allocate(size));
    m_size = m_data ? size : 0;
    return m_data != nullptr;
}

bool TransferMemory::install()
{
    if (curl_global_init_mem(CURL_GLOBAL_DEFAULT, allocate, release, resize, duplicate,
                             allocateZeroed)
        == CURLE_OK)
        return true;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return false;
}

void *TransferMemory::allocate(size_t size)
{
    if (size < KeptFrom)
        return std::malloc(size);
    Kept &blocks = keptBlocks();
    {
        std::lock_guard<std::mutex> lock(blocks.mutex);
        const auto waiting = blocks.waiting.find(size);
        if (waiting != blocks.waiting.end() && !waiting->second.empty()) {
            void *block = waiting->second.back();
            waiting->second.pop_back();
            blocks.bytes -= size;
            return block;
        }
    }
    void *block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        return nullptr;
    std::lock_guard<std::mutex> lock(blocks.mutex);
    blocks.sizes.emplace(block, size);
    return block;
}

void TransferMemory::release(void *block)
{
    if (!block)
        return;
    if (mayBeMapped(block)) {
        Kept &blocks = keptBlocks();
        std::unique_lock<std::mutex> lock(blocks.mutex);
        const auto found = blocks.sizes.find(block);
        if (found != blocks.sizes.end()) {
            const size_t size = found->second;
            if (blocks.bytes + size <= KeptLimit) {
                blocks.waiting[size].push_back(block);
                blocks.bytes += size;
                return;
            }
            blocks.sizes.erase(found);
            lock.unlock();
            ::munmap(block, size);
            return;
        }
    }
    std::free(block);
}

void *TransferMemory::resize(void *block, size_t size)
{
    if (!block)
        return allocate(size);
    const size_t old = mappedSize(block);
    // One of malloc's stays one, whatever its size.
    if (old == 0)
        return std::realloc(block, size);
    void *moved = allocate(size);
    if (!moved)
        return nullptr;
    std::memcpy(moved, block, old < size ? old : size);
    release(block);
    return moved;
}

char *TransferMemory::duplicate(const char *text)
{
    return ::strdup(text);
}

void *TransferMemory::allocateZeroed(size_t count, size_t size)
{
    return std::calloc(count, size);
}

size_t TransferMemory::kept()
{
    Kept &blocks = keptBlocks();
    std::lock_guard<std::mutex> lock(blocks.mutex);
    return blocks.bytes;
}

} // namespace QuorvaneServer
