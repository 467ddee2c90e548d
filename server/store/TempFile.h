#pragma once

#include "store/BlockSums.h"
#include "store/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace QuorvaneServer {

// A new file that receives an upload. It is removed again unless it was moved
// into place, so a refused or broken upload leaves nothing behind.
class TempFile
{
public:
    // Creates path, which must not exist yet; see error().
    explicit TempFile(std::string path);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // errno of the first failure, 0 while all is well.
    int error() const { return m_error; }
    uint64_t size() const { return m_size + m_used; }
    const std::string &path() const { return m_path; }

    // Also hashes the bytes and sums their blocks, so neither costs a second
    // read.
    bool write(const char *data, size_t size);
    // Writes what is buffered and waits until the content is on disk.
    bool sync();
    // SHA-256 of everything written, raw; set by a successful sync().
    const std::string &digest() const { return m_digest; }
    // The file's BlockSums, also set by a successful sync().
    const std::string &blockSums() const { return m_blockSums; }
    // For a file whose bytes are kept elsewhere (an object store): nothing is
    // forced to the disk.
    void skipDurability() { m_durable = false; }

    // Told how many bytes have reached the file, each time more have; goes
    // with the file.
    class Follower
    {
    public:
        virtual ~Follower() = default;
        virtual void written(uint64_t size) = 0;
    };
    void follow(std::unique_ptr<Follower> follower) { m_follower = std::move(follower); }
    Follower *follower() const { return m_follower.get(); }

    // Renames the file to target in the same file system and waits until the
    // folder entry is on disk too. The file stays locked while this lives.
    bool moveTo(const std::string &target, const std::string &targetFolder);

private:
    bool flush();
    bool fail(int error);

    std::string m_path;
    int m_fd = -1;
    int m_error = 0;
    std::vector<char> m_buffer;
    size_t m_used = 0;
    uint64_t m_size = 0;
    uint64_t m_writebackStart = 0;
    Sha256 m_hash;
    std::string m_digest;
    BlockSums m_blocks;
    std::string m_blockSums;
    bool m_created = false;
    bool m_moved = false;
    std::unique_ptr<Follower> m_follower;
    bool m_durable = true;
};

// Makes a rename or removal inside folder durable.
bool syncFolder(const std::string &folder);

} // namespace QuorvaneServer
