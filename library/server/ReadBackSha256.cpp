#include "ReadBackSha256.h"

#include <QByteArray>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace Quorvane {

ReadBackSha256::~ReadBackSha256()
{
    if (m_running) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
            m_forThread.notify_all();
        }
        pthread_join(m_thread, nullptr);
    }
    if (m_reader >= 0)
        ::close(m_reader);
}

bool ReadBackSha256::startThread(int file)
{
    // A descriptor of our own that reads: the file's may be write-only. The
    // same open file, whatever its name has become since.
    m_reader
        = ::open(("/proc/self/fd/" + QByteArray::number(file)).constData(), O_RDONLY | O_CLOEXEC);
    if (m_reader < 0)
        return false;
    m_buffer = std::make_unique<char[]>(ReadPiece);
    m_running = pthread_create(&m_thread, nullptr, &ReadBackSha256::run, this) == 0;
    if (!m_running) {
        ::close(m_reader);
        m_reader = -1;
    }
    return m_running;
}

void ReadBackSha256::written(int file, const char *data, size_t size)
{
    if (!m_running) {
        // Read back only a file that holds the bytes where they were handed.
        if (!m_inline && m_handed + size > InlineBytes) {
            m_written = m_hashed = m_handed; // the bytes before are hashed already
            m_inline = ::lseek(file, 0, SEEK_CUR) != off_t(m_handed + size) || !startThread(file);
        }
        if (!m_running) {
            m_hash.add(data, size);
            m_handed += size;
            return;
        }
    }
    const uint64_t before = m_handed;
    m_handed += size;
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_inlineUntil > before || before - m_hashed > MaxBehind) {
        // The thread gets too little of a core: the bytes behind are caught
        // up here, and the next ones hashed as they come, from memory, which
        // costs less than reading them back.
        if (m_inlineUntil <= before)
            m_inlineUntil = before + InlineStretch;
        while (m_hashing || m_hashed < m_written) {
            if (m_hashing)
                waitIdle(lock);
            else
                hashNext(lock);
        }
        m_hash.add(data, size); // nothing is left for the thread to take
        m_written = m_hashed = m_handed;
        return;
    }
    m_written = m_handed;
    if (m_threadWaits && !m_hashing && m_written - m_hashed >= Batch)
        m_forThread.notify_one();
}

void ReadBackSha256::hashNext(std::unique_lock<std::mutex> &lock)
{
    m_hashing = true;
    const uint64_t from = m_hashed;
    const size_t wanted = size_t(std::min(m_written - m_hashed, Batch));
    lock.unlock();
    for (size_t got = 0; !m_unreadable && got < wanted;) {
        const ssize_t part = ::pread(m_reader, m_buffer.get(), std::min(ReadPiece, wanted - got),
                                     off_t(from + got));
        if (part <= 0) {
            m_unreadable = true; // the file failed or was cut behind our back
        } else {
            m_hash.add(m_buffer.get(), size_t(part));
            got += size_t(part);
        }
    }
    lock.lock();
    m_hashed += wanted;
    m_hashing = false;
    if (m_callerWaits)
        m_forCaller.notify_one();
}

void ReadBackSha256::waitIdle(std::unique_lock<std::mutex> &lock)
{
    while (m_hashing) {
        m_callerWaits = true;
        m_forCaller.wait(lock);
        m_callerWaits = false;
    }
}

void ReadBackSha256::reset()
{
    if (m_running) {
        std::unique_lock<std::mutex> lock(m_mutex);
        waitIdle(lock);
        m_written = m_hashed = m_inlineUntil = 0;
        m_unreadable = false;
        m_hash.reset();
    } else {
        m_hash.reset();
    }
    m_handed = 0;
}

QByteArray ReadBackSha256::digest()
{
    if (!m_running)
        return m_hash.digest();
    std::unique_lock<std::mutex> lock(m_mutex);
    // Waiting for the thread to be scheduled would cost more than the hash.
    while (m_hashed < m_written) {
        if (m_hashing)
            waitIdle(lock);
        else
            hashNext(lock);
    }
    waitIdle(lock);
    return m_unreadable ? QByteArray("unreadable") : m_hash.digest();
}

void *ReadBackSha256::run(void *self)
{
    static_cast<ReadBackSha256 *>(self)->work();
    return nullptr;
}

void ReadBackSha256::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (!m_stopping && (m_hashing || m_written - m_hashed < Batch)) {
            m_threadWaits = true;
            m_forThread.wait(lock);
        }
        m_threadWaits = false;
        if (m_stopping)
            return;
        hashNext(lock);
    }
}

} // namespace Quorvane
