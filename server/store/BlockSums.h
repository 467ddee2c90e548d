#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct XXH3_state_s;

namespace QuorvaneServer {

// Fast checksums of a file's fixed blocks, taken as it is written and kept
// beside its SHA-256: a download checks each block it sends on its own, so a
// damaged block is found before its bytes leave, without hashing the whole
// file first. Each sum is seeded with its block's index, so blocks that
// changed places do not match either.
class BlockSums
{
public:
    static constexpr uint64_t BlockSize = 1024 * 1024;
    static constexpr size_t SumSize = 8;

    BlockSums();
    ~BlockSums();
    BlockSums(const BlockSums &) = delete;
    BlockSums &operator=(const BlockSums &) = delete;

    void add(const char *data, size_t size);
    // The sums of all blocks, SumSize bytes each; they start over afterwards.
    std::string finish();
    // Sums from block index on, as a download that checks its blocks as
    // their bytes come.
    void startAt(uint64_t index);
    // Whether the blocks added since startAt() or the last call, the last
    // one possibly short, match their sums in sums; the next block starts.
    bool matchesSoFar(const std::string &sums);

    static uint64_t blocks(uint64_t fileSize) { return (fileSize + BlockSize - 1) / BlockSize; }
    // Whether sums can be those of a file of fileSize bytes.
    static bool fit(const std::string &sums, uint64_t fileSize)
    {
        return sums.size() == blocks(fileSize) * SumSize;
    }
    // Whether block index of the file fd (of fileSize bytes) still matches
    // sums, read through buffer; false when it cannot be read.
    static bool check(int fd, uint64_t fileSize, uint64_t index, const std::string &sums,
                      std::vector<char> &buffer);

private:
    void endBlock();

    XXH3_state_s *m_state;
    uint64_t m_index = 0;
    uint64_t m_filled = 0;
    std::string m_sums;
};

} // namespace QuorvaneServer
