#include "store/BlockSums.h"

#include <algorithm>
#include <cerrno>
#include <memory>
#include <new>
#include <unistd.h>
#include <xxhash.h>

namespace QuorvaneServer {

namespace {

void appendSum(std::string &sums, uint64_t sum)
{
    XXH64_canonical_t canonical;
    XXH64_canonicalFromHash(&canonical, sum);
    sums.append(reinterpret_cast<const char *>(canonical.digest), sizeof canonical.digest);
}

} // namespace

BlockSums::BlockSums()
    : m_state(XXH3_createState())
{
    if (!m_state)
        throw std::bad_alloc();
    XXH3_64bits_reset_withSeed(m_state, 0);
}

BlockSums::~BlockSums()
{
    XXH3_freeState(m_state);
}

void BlockSums::endBlock()
{
    appendSum(m_sums, XXH3_64bits_digest(m_state));
    XXH3_64bits_reset_withSeed(m_state, ++m_index);
    m_filled = 0;
}

void BlockSums::add(const char *data, size_t size)
{
    while (size > 0) {
        const size_t taken = static_cast<size_t>(std::min<uint64_t>(size, BlockSize - m_filled));
        XXH3_64bits_update(m_state, data, taken);
        m_filled += taken;
        data += taken;
        size -= taken;
        if (m_filled == BlockSize)
            endBlock();
    }
}

std::string BlockSums::finish()
{
    if (m_filled > 0)
        endBlock();
    std::string sums;
    sums.swap(m_sums);
    m_index = 0;
    XXH3_64bits_reset_withSeed(m_state, 0);
    return sums;
}

void BlockSums::startAt(uint64_t index)
{
    m_index = index;
    m_filled = 0;
    m_sums.clear();
    XXH3_64bits_reset_withSeed(m_state, index);
}

bool BlockSums::matchesSoFar(const std::string &sums)
{
    if (m_filled > 0)
        endBlock();
    const uint64_t first = m_index - m_sums.size() / SumSize;
    const bool same = m_index * SumSize <= sums.size()
        && sums.compare(first * SumSize, m_sums.size(), m_sums) == 0;
    m_sums.clear();
    return same;
}

bool BlockSums::check(int fd, uint64_t fileSize, uint64_t index, const std::string &sums,
                      std::vector<char> &buffer)
{
    if (!fit(sums, fileSize) || index >= blocks(fileSize))
        return false;
    const std::unique_ptr<XXH3_state_t, XXH_errorcode (*)(XXH3_state_t *)> state(XXH3_createState(),
                                                                                 XXH3_freeState);
    if (!state)
        throw std::bad_alloc();
    XXH3_64bits_reset_withSeed(state.get(), index);
    uint64_t at = index * BlockSize;
    const uint64_t end = std::min(at + BlockSize, fileSize);
    while (at < end) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - at));
        const ssize_t got = ::pread(fd, buffer.data(), wanted, static_cast<off_t>(at));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        XXH3_64bits_update(state.get(), buffer.data(), static_cast<size_t>(got));
        at += static_cast<uint64_t>(got);
    }
    std::string expected;
    appendSum(expected, XXH3_64bits_digest(state.get()));
    return sums.compare(index * SumSize, SumSize, expected) == 0;
}

} // namespace QuorvaneServer
