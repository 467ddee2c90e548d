#include "store/TempFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace QuorvaneServer {

namespace {

// One of these per upload fills while up to HandedBuffers more wait for or
// are in the writer thread: with only one there, the writer sat idle at each
// hand-over until the receiving thread woke to give it the next.
constexpr size_t BufferSize = 128 * 1024;
constexpr size_t HandedBuffers = 3;
// A sink passes the bytes on to parts of its own, which do the queueing:
// more buffers here would only add to the memory of many uploads at once.
constexpr size_t SinkHandedBuffers = 1;
// A large upload takes larger ones: each hand-over wakes the writer thread and
// the receiving one, which cost more than the hashing of a small buffer. Many
// small uploads at once keep memory low.
constexpr size_t LargeBufferSize = 1024 * 1024;
constexpr uint64_t LargeAfter = 16 * 1024 * 1024;
// The file is written in pieces of this size: a whole 1 MiB buffer in one
// write has the kernel take large folios for the page cache, which cost the
// writing thread three to four times the processor time when free memory is
// fragmented; 64 KiB writes stayed steady, and smaller ones gained nothing.
constexpr size_t WritePiece = 64 * 1024;
// Asking the kernel to start writing every few MiB keeps the final fsync short
// and the amount of dirty memory small, however large the upload.
constexpr uint64_t WritebackStep = 8 * 1024 * 1024;

} // namespace

bool syncFolder(const std::string &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

TempFile::TempFile(std::string path, uint64_t announced)
    : m_path(std::move(path))
    , m_wantHasher(announced >= LargeAfter)
{
    // Created under a name that sweeps pass over, and locked before it takes
    // its real name: the lock tells other servers on the same folder that the
    // file is still being written (or not yet committed), and it goes with
    // the process, however that ends.
    const std::string creating = m_path + ".new";
    m_fd = ::open(creating.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        m_error = errno;
        return;
    }
    if (::flock(m_fd, LOCK_EX) != 0 || ::rename(creating.c_str(), m_path.c_str()) != 0) {
        m_error = errno;
        ::unlink(creating.c_str());
        return;
    }
    m_created = true;
}

TempFile::TempFile(std::unique_ptr<Sink> sink)
    : m_sink(std::move(sink))
{
    m_pulls = m_sink->attach(*this);
}

TempFile::~TempFile()
{
    // A dropped upload is not written out, and a waiting pull() returns.
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    if (m_sink)
        m_sink->cancel();
    if (m_writer.joinable())
        m_writer.join();
    if (m_hasher.joinable())
        m_hasher.join();
    m_sink.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    if (m_created && !m_moved)
        ::unlink(m_path.c_str());
}

bool TempFile::fail(int error)
{
    if (m_error == 0)
        m_error = error;
    return false;
}

bool TempFile::firstBuffer()
{
    if (m_buffer.data() || m_buffer.reset(BufferSize))
        return true;
    return fail(ENOMEM);
}

bool TempFile::write(const char *data, size_t size)
{
    if (m_error != 0 || !firstBuffer())
        return false;
    while (size > 0) {
        if (m_used == m_buffer.size() && !flush())
            return false;
        const size_t room = m_buffer.size() - m_used;
        const size_t taken = size < room ? size : room;
        std::memcpy(m_buffer.data() + m_used, data, taken);
        m_used += taken;
        data += taken;
        size -= taken;
    }
    return true;
}

std::pair<char *, size_t> TempFile::room()
{
    if (m_error != 0 || !firstBuffer() || (m_used == m_buffer.size() && !flush()))
        return { nullptr, 0 };
    return { m_buffer.data() + m_used, m_buffer.size() - m_used };
}

int TempFile::store(const char *data, size_t size, bool hash)
{
    const uint64_t end = m_stored + size;
    if (m_sink) {
        if (hash)
            m_hash.add(data, size);
        m_blocks.add(data, size);
        m_stored = end;
        return m_sink->take(data, size);
    }
    // Each piece is hashed just before it is written, while it is still in
    // the processor's cache.
    while (size > 0) {
        const size_t piece = std::min(WritePiece, size);
        if (hash)
            m_hash.add(data, piece);
        m_blocks.add(data, piece);
        if (const int error = writePiece(data, piece))
            return error;
        data += piece;
        size -= piece;
    }
    startWriteback(end);
    return 0;
}

int TempFile::writePiece(const char *data, size_t size)
{
    for (size_t written = 0; written < size;) {
        const ssize_t n = ::write(m_fd, data + written, size - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        written += static_cast<size_t>(n);
    }
    return 0;
}

void TempFile::startWriteback(uint64_t end)
{
    if (end - m_writebackStart >= WritebackStep) {
        ::sync_file_range(m_fd, static_cast<off64_t>(m_writebackStart),
                          static_cast<off64_t>(end - m_writebackStart), SYNC_FILE_RANGE_WRITE);
        m_writebackStart = end;
    }
    m_stored = end;
}

size_t TempFile::pull(char *data, size_t size)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [this] { return !m_queue.empty() || m_quit; });
    if (m_quit)
        return 0;
    // Only this caller takes the first buffer off; the others are added
    // behind it, which leaves it in place.
    Handed &first = m_queue.front();
    const char *from = first.data.data() + m_pulledAt;
    const size_t given = std::min(size, first.size - m_pulledAt);
    lock.unlock();
    m_hash.add(from, given);
    m_blocks.add(from, given);
    std::memcpy(data, from, given);
    lock.lock();
    m_pulledAt += given;
    m_stored += given;
    if (m_pulledAt < first.size)
        return given;
    m_free.push_back(std::move(first.data));
    m_queue.pop_front();
    m_pulledAt = 0;
    --m_handed;
    m_wake.notify_all();
    const std::function<void()> wake = std::move(m_wakeReader);
    m_wakeReader = nullptr;
    lock.unlock();
    if (wake)
        wake();
    return given;
}

void TempFile::sinkEnded(int error)
{
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sinkEnded = true;
        if (m_writerError == 0)
            m_writerError = error;
        wake = std::move(m_wakeReader);
        m_wakeReader = nullptr;
    }
    m_wake.notify_all();
    if (wake)
        wake();
}

size_t TempFile::sinkBuffers(uint64_t size)
{
    // The one filling and those handed, each grown once the upload is large.
    return (SinkHandedBuffers + 1) * (size > LargeAfter ? LargeBufferSize : BufferSize);
}

void TempFile::runWriter(bool hashing)
{
    size_t &next = hashing ? m_hashNext : m_writeNext;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [&] { return next < m_queue.size() || m_quit; });
        // A dropped upload is not written out.
        if (m_quit)
            return;
        // Stays in place: the buffer leaves the queue only once both threads
        // are done with it, and adding behind it moves nothing.
        Handed &handed = m_queue[next++];
        // After a failure the rest is only handed back.
        if (m_writerError == 0) {
            const bool split = m_splitHash;
            lock.unlock();
            int error = 0;
            if (hashing)
                m_hash.add(handed.data.data(), handed.size);
            else
                error = store(handed.data.data(), handed.size, !split);
            lock.lock();
            if (error != 0)
                m_writerError = error;
        }
        (hashing ? handed.hashed : handed.written) = true;
        if (!m_splitHash)
            handed.hashed = true;
        if (!handed.written || !handed.hashed || &handed != &m_queue.front())
            continue;
        while (!m_queue.empty() && m_queue.front().written && m_queue.front().hashed) {
            m_free.push_back(std::move(m_queue.front().data));
            m_queue.pop_front();
            --m_writeNext;
            if (m_splitHash)
                --m_hashNext;
            --m_handed;
        }
        m_wake.notify_all();
        if (m_wakeReader) {
            const std::function<void()> wake = std::move(m_wakeReader);
            m_wakeReader = nullptr;
            lock.unlock();
            wake();
            lock.lock();
        }
    }
}

size_t TempFile::handedLimit() const
{
    return m_sink ? SinkHandedBuffers : HandedBuffers;
}

bool TempFile::whenReady(std::function<void()> wake)
{
    if (m_error != 0)
        return true;
    if (m_pulls && !m_admitted) {
        if (!m_sink->admitted(wake))
            return false;
        m_admitted = true;
    }
    if (m_used < m_buffer.size() || (!m_writer.joinable() && !m_pulls))
        return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_handed < handedLimit() || m_writerError != 0 || m_sinkEnded)
        return true;
    m_wakeReader = std::move(wake);
    return false;
}

bool TempFile::settle()
{
    if (m_writer.joinable() || m_pulls) {
        std::unique_lock<std::mutex> lock(m_mutex);
        // The writer thread hands back even what it no longer writes; a
        // sink that ended takes nothing more.
        m_wake.wait(lock, [this] {
            return m_handed == 0 || (m_pulls && (m_writerError != 0 || m_sinkEnded));
        });
        if (m_writerError != 0)
            return fail(m_writerError);
        // More bytes than the sink was to take.
        if (m_handed > 0)
            return fail(EIO);
    }
    return m_error == 0;
}

bool TempFile::flush()
{
    if (m_error != 0)
        return false;
    if (m_used == 0)
        return true;
    if (!m_writer.joinable() && !m_pulls) {
        try {
            m_writer = std::thread([this] { runWriter(false); });
        } catch (const std::exception &) {
            // Without a thread of its own, the file is written in line.
            if (const int error = store(m_buffer.data(), m_used))
                return fail(error);
            m_size += m_used;
            m_used = 0;
            return true;
        }
        // Nothing is queued yet: the writer learns of the hashing thread
        // with its first buffer. Without it, the writer hashes.
        if (m_wantHasher && !m_sink) {
            try {
                m_hasher = std::thread([this] { runWriter(true); });
                std::lock_guard<std::mutex> lock(m_mutex);
                m_splitHash = true;
            } catch (const std::exception &) {
            }
        }
    }
    const size_t size = m_buffer.size();
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_writerError != 0)
            return fail(m_writerError);
        m_wake.wait(
            lock, [this] { return m_handed < handedLimit() || m_writerError != 0 || m_sinkEnded; });
        if (m_writerError != 0)
            return fail(m_writerError);
        if (m_sinkEnded)
            return fail(EIO);
        m_queue.push_back({ std::move(m_buffer), m_used });
        ++m_handed;
        m_wake.notify_all();
        if (!m_free.empty()) {
            m_buffer = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    m_size += m_used;
    m_used = 0;
    // Buffers grow as they come round: a large upload takes larger ones.
    const size_t wanted = m_size >= LargeAfter ? LargeBufferSize : size;
    if (m_buffer.size() < wanted && !m_buffer.reset(wanted))
        return fail(ENOMEM);
    return true;
}

bool TempFile::sync()
{
    if (m_error != 0 || !settle())
        return false;
    if (m_used > 0) {
        if (m_pulls) {
            if (!flush() || !settle())
                return false;
        } else {
            if (const int error = store(m_buffer.data(), m_used))
                return fail(error);
            m_size += m_used;
            m_used = 0;
        }
    }
    if (!m_sink && ::fsync(m_fd) != 0)
        return fail(errno);
    if (m_digest.empty()) {
        m_digest = m_hash.finish();
        m_blockSums = m_blocks.finish();
    }
    return true;
}

bool TempFile::moveTo(const std::string &target, const std::string &targetFolder)
{
    if (m_error != 0)
        return false;
    if (::rename(m_path.c_str(), target.c_str()) != 0)
        return fail(errno);
    m_moved = true;
    m_path = target;
    // The descriptor, and with it the lock, stays until this object goes,
    // after the row that names the file was committed or rolled back.
    if (!syncFolder(targetFolder))
        return fail(errno);
    return true;
}

} // namespace QuorvaneServer
