#include "store/TempFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
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
// Asking the kernel to start writing every few MiB keeps the final fsync short
// and the amount of dirty memory small, however large the upload.
constexpr uint64_t WritebackStep = 8 * 1024 * 1024;
// Received bytes are hashed from the file's pages a window at a time: the
// mapping's pages count towards the process's memory while it lasts.
constexpr uint64_t HashWindow = 4 * 1024 * 1024;
// How far the hashing may fall behind before the receiving stops: beyond it
// the pages might have to be read back from the disk.
constexpr uint64_t HashLag = 16 * 1024 * 1024;
// The pipe holds what one move from the socket takes.
constexpr int PipeSize = 1024 * 1024;

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

TempFile::TempFile(std::string path)
    : m_path(std::move(path))
{
    // Created under a name that sweeps pass over, and locked before it takes
    // its real name: the lock tells other servers on the same folder that the
    // file is still being written (or not yet committed), and it goes with
    // the process, however that ends.
    const std::string creating = m_path + ".new";
    // Readable too: received bytes are hashed from the file's pages.
    m_fd = ::open(creating.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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
    m_buffer.resize(BufferSize);
}

TempFile::TempFile(std::unique_ptr<Sink> sink)
    : m_sink(std::move(sink))
{
    m_buffer.resize(BufferSize);
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
    m_sink.reset();
    for (const int end : m_pipe) {
        if (end >= 0)
            ::close(end);
    }
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

bool TempFile::write(const char *data, size_t size)
{
    if (m_error != 0)
        return false;
    while (size > 0) {
        if (m_used == m_buffer.size() && !flush())
            return false;
        const size_t room = m_buffer.size() - m_used;
        const size_t taken = size < room ? size : room;
        std::copy(data, data + taken, m_buffer.data() + m_used);
        m_used += taken;
        data += taken;
        size -= taken;
    }
    return true;
}

std::pair<char *, size_t> TempFile::room()
{
    if (m_error != 0 || (m_used == m_buffer.size() && !flush()))
        return { nullptr, 0 };
    return { m_buffer.data() + m_used, m_buffer.size() - m_used };
}

int TempFile::store(const char *data, size_t size)
{
    m_hash.add(data, size);
    m_blocks.add(data, size);
    const uint64_t end = m_stored + size;
    if (m_sink) {
        m_stored = end;
        return m_sink->take(data, size);
    }
    while (size > 0) {
        const ssize_t n = ::write(m_fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    if (end - m_writebackStart >= WritebackStep) {
        ::sync_file_range(m_fd, static_cast<off64_t>(m_writebackStart),
                          static_cast<off64_t>(end - m_writebackStart), SYNC_FILE_RANGE_WRITE);
        m_writebackStart = end;
    }
    m_stored = end;
    return 0;
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

void TempFile::runWriter()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return !m_queue.empty() || m_quit || m_hashed < m_received; });
        // A dropped upload is not written out.
        if (m_quit)
            return;
        if (m_queue.empty()) {
            const uint64_t from = m_hashed;
            const uint64_t to = std::min(m_received, from + HashWindow);
            if (m_writerError == 0) {
                lock.unlock();
                const int error = hashStored(from, to);
                lock.lock();
                m_writerError = error;
            }
            m_hashed = to;
            m_wake.notify_all();
            if (m_wakeReader && (m_writerError != 0 || m_received - m_hashed < HashLag)) {
                const std::function<void()> wake = std::move(m_wakeReader);
                m_wakeReader = nullptr;
                lock.unlock();
                wake();
                lock.lock();
            }
            continue;
        }
        Handed handed = std::move(m_queue.front());
        m_queue.pop_front();
        // After a failure the rest is only handed back.
        if (m_writerError == 0) {
            lock.unlock();
            const int error = store(handed.data.data(), handed.size);
            lock.lock();
            m_writerError = error;
        }
        m_free.push_back(std::move(handed.data));
        --m_handed;
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
    if (m_receiving) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_received - m_hashed < HashLag || m_writerError != 0)
            return true;
        m_wakeReader = std::move(wake);
        return false;
    }
    if (m_error != 0 || m_used < m_buffer.size() || (!m_writer.joinable() && !m_pulls))
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
            return (m_handed == 0 && m_hashed == m_received)
                || (m_pulls && (m_writerError != 0 || m_sinkEnded));
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
            m_writer = std::thread([this] { runWriter(); });
        } catch (const std::exception &) {
            // Without a thread of its own, the file is written in line.
            if (const int error = store(m_buffer.data(), m_used))
                return fail(error);
            m_size += m_used;
            m_used = 0;
            return true;
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
        m_buffer = {};
        if (!m_free.empty()) {
            m_buffer = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    m_size += m_used;
    m_used = 0;
    // Buffers grow as they come round: a large upload takes larger ones.
    const size_t wanted = m_size >= LargeAfter ? LargeBufferSize : size;
    if (m_buffer.size() < wanted)
        m_buffer.resize(wanted);
    return true;
}

bool TempFile::sync()
{
    if (m_error != 0 || !settle())
        return false;
    // Every byte is in; the descriptors are better spent on the commit.
    for (int &end : m_pipe) {
        if (end >= 0)
            ::close(end);
        end = -1;
    }
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

bool TempFile::startReceiving()
{
    // Without a pipe (out of descriptors) the bytes keep coming through the
    // buffers, as a small upload's do.
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_noPipe = true;
        errno = EAGAIN;
        return false;
    }
    // What write() took goes first, in order.
    if (!settle())
        return false;
    if (m_used > 0) {
        if (const int error = store(m_buffer.data(), m_used))
            return fail(error);
        m_size += m_used;
        m_used = 0;
    }
    std::vector<char>().swap(m_buffer);
    m_free.clear();
    // A larger pipe takes more per move; the default one still works.
    ::fcntl(m_pipe[1], F_SETPIPE_SZ, PipeSize);
    const int size = ::fcntl(m_pipe[1], F_GETPIPE_SZ);
    m_pipeSize = size > 0 ? static_cast<size_t>(size) : 65536;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received = m_hashed = m_stored;
    }
    if (!m_writer.joinable()) {
        try {
            m_writer = std::thread([this] { runWriter(); });
        } catch (const std::exception &) {
            // Hashed in line, as they come.
        }
    }
    m_receiving = true;
    return true;
}

ssize_t TempFile::receive(int socket, size_t most)
{
    if (m_error == 0 && !m_receiving && !startReceiving() && m_error == 0)
        return -1;
    if (m_error != 0) {
        errno = m_error;
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_writerError != 0)
            fail(m_writerError);
    }
    if (m_error != 0) {
        errno = m_error;
        return -1;
    }
    const ssize_t got = ::splice(socket, nullptr, m_pipe[1], nullptr, std::min(most, m_pipeSize),
                                 SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (got <= 0)
        return got;
    for (size_t left = static_cast<size_t>(got); left > 0;) {
        const ssize_t put = ::splice(m_pipe[0], nullptr, m_fd, nullptr, left, SPLICE_F_MOVE);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            fail(put < 0 ? errno : EIO);
            errno = m_error;
            return -1;
        }
        left -= static_cast<size_t>(put);
    }
    m_size += static_cast<uint64_t>(got);
    if (!m_writer.joinable()) {
        if (const int error = hashStored(m_received, m_size)) {
            fail(error);
            errno = m_error;
            return -1;
        }
        m_received = m_hashed = m_size;
        return got;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received = m_size;
    }
    m_wake.notify_all();
    return got;
}

int TempFile::hashStored(uint64_t from, uint64_t to)
{
    static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    while (from < to) {
        const uint64_t start = from / page * page;
        const uint64_t end = std::min(to, start + HashWindow);
        const size_t length = static_cast<size_t>(end - start);
        void *mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, m_fd,
                              static_cast<off_t>(start));
        if (mapped == MAP_FAILED)
            return errno;
        const char *data = static_cast<const char *>(mapped) + (from - start);
        m_hash.add(data, static_cast<size_t>(end - from));
        m_blocks.add(data, static_cast<size_t>(end - from));
        ::munmap(mapped, length);
        if (end - m_writebackStart >= WritebackStep) {
            ::sync_file_range(m_fd, static_cast<off64_t>(m_writebackStart),
                              static_cast<off64_t>(end - m_writebackStart), SYNC_FILE_RANGE_WRITE);
            m_writebackStart = end;
        }
        from = end;
        m_stored = end;
    }
    return 0;
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
