#pragma once

#include "store/BlockSums.h"
#include "store/Sha256.h"
#include "store/TransferMemory.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace QuorvaneServer {

// A new file that receives an upload. It is removed again unless it was moved
// into place, so a refused or broken upload leaves nothing behind. Once an
// upload fills its first buffer, full buffers are hashed and written on a
// thread of the file's own while the next ones fill: the SHA-256 costs the
// receiving thread nothing, and a few buffers queued between the two let
// each run on while the other is briefly slower. A large upload, announced
// as such, has a second thread take the SHA-256 of each buffer while the
// first sums and writes it: hashing and writing on one thread took twice as
// long as receiving, so the client waited on the file.
class TempFile
{
public:
    // Where the bytes go instead of a file (an object store): given them in
    // order on the writer thread, and may keep it waiting; or, once it
    // attached, taking them itself with pull() on a thread of its own.
    class Sink
    {
    public:
        virtual ~Sink() = default;
        // True when the sink pulls the bytes from file; then take() is not
        // called.
        virtual bool attach(TempFile &file)
        {
            (void)file;
            return false;
        }
        // errno on failure, else 0; data stays valid only during the call.
        virtual int take(const char *data, size_t size) = 0;
        // The upload is dropped: a waiting take() returns at once, and no
        // pull() is under way or follows once this returns.
        virtual void cancel() = 0;
        // Whether a sink that pulls has room for the upload's buffers yet;
        // when not, wake is called (from another thread) once it has, or
        // once it failed. Until then the upload is not read from, so a
        // waiting upload holds no buffers beyond what it was sent at first.
        virtual bool admitted(std::function<void()> wake)
        {
            (void)wake;
            return true;
        }
    };

    // Creates path, which must not exist yet; see error(). announced: the
    // upload's size where the client gave it, else 0.
    explicit TempFile(std::string path, uint64_t announced = 0);
    // Nothing on the disk: every byte goes to sink.
    explicit TempFile(std::unique_ptr<Sink> sink);
    ~TempFile();
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;

    // errno of the first failure, 0 while all is well.
    int error() const { return m_error; }
    uint64_t size() const { return m_size + m_used; }
    const std::string &path() const { return m_path; }

    // Also hashes the bytes and sums their blocks, so neither costs a second
    // read. A failure may show only at a later call.
    bool write(const char *data, size_t size);
    // Room for the next bytes, to be filled in place of a write() and counted
    // with commit(): saves copying them from another buffer. Empty after a
    // failure.
    std::pair<char *, size_t> room();
    // size bytes at room() were filled.
    void commit(size_t size) { m_used += size; }
    // Writes what is buffered and waits until the content is on disk.
    bool sync();
    // SHA-256 of everything written, raw; set by a successful sync().
    const std::string &digest() const { return m_digest; }
    // The file's BlockSums, also set by a successful sync().
    const std::string &blockSums() const { return m_blockSums; }
    Sink *sink() const { return m_sink.get(); }
    // Whether room() can be had without waiting for the writer thread; when
    // not, wake is called from that thread once it can.
    bool whenReady(std::function<void()> wake);

    // For a sink that attached: hashes and copies the next bytes, at most
    // size, to data, waiting for them; 0 once the upload is dropped. One
    // caller at a time.
    size_t pull(char *data, size_t size);
    // The attached sink takes no more bytes: with error (errno) when it
    // failed; bytes still to come then fail the upload.
    void sinkEnded(int error);
    // The most bytes of buffers that an upload of size bytes into a sink
    // holds at once, for a budget that counts them.
    static size_t sinkBuffers(uint64_t size);

    // Renames the file to target in the same file system and waits until the
    // folder entry is on disk too. The file stays locked while this lives.
    bool moveTo(const std::string &target, const std::string &targetFolder);

private:
    // Hands the full buffer to the writer thread.
    bool flush();
    // Makes the first buffer; false when there is no memory for it.
    bool firstBuffer();
    // How many full buffers may wait for or be in the writer thread.
    size_t handedLimit() const;
    // Waits until the writer thread is idle; false when it failed.
    bool settle();
    // Hashes (unless a hashing thread of its own does), sums and writes size
    // bytes; errno on failure, else 0.
    int store(const char *data, size_t size, bool hash = true);
    int writePiece(const char *data, size_t size);
    void startWriteback(uint64_t end);
    // The writer thread, or with hashing true the hashing one.
    void runWriter(bool hashing);
    bool fail(int error);

    std::string m_path;
    int m_fd = -1;
    int m_error = 0;
    // Made at the first byte, not before.
    TransferMemory::Buffer m_buffer;
    size_t m_used = 0;
    uint64_t m_size = 0;
    uint64_t m_writebackStart = 0;
    Sha256 m_hash;
    std::string m_digest;
    BlockSums m_blocks;
    std::string m_blockSums;
    bool m_created = false;
    bool m_moved = false;
    std::unique_ptr<Sink> m_sink;

    // The writer thread and what it works on: full buffers in m_queue, the
    // first one being written until m_handed drops, and emptied ones in
    // m_free. Everything it touches but these is the caller's again after
    // settle().
    // With a hashing thread each buffer is handed to both, and goes back
    // once both are done with it: m_writeNext and m_hashNext are where each
    // is in m_queue.
    struct Handed
    {
        TransferMemory::Buffer data;
        size_t size;
        bool written = false;
        bool hashed = false;
    };
    std::thread m_writer;
    std::thread m_hasher;
    bool m_wantHasher = false;
    bool m_splitHash = false;
    size_t m_writeNext = 0;
    size_t m_hashNext = 0;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Handed> m_queue;
    std::vector<TransferMemory::Buffer> m_free;
    size_t m_handed = 0;
    bool m_quit = false;
    int m_writerError = 0;
    std::function<void()> m_wakeReader;
    // Bytes in the file, counted by whoever writes them.
    uint64_t m_stored = 0;
    // An attached sink pulls the handed buffers in place of the writer
    // thread, which saves a hand-over per buffer: m_pulledAt bytes of the
    // first one are taken.
    bool m_pulls = false;
    bool m_admitted = false;
    size_t m_pulledAt = 0;
    bool m_sinkEnded = false;
};

// Makes a rename or removal inside folder durable.
bool syncFolder(const std::string &folder);

} // namespace QuorvaneServer
