#pragma once

#include <QByteArray>
#include <memory>

namespace Platform {

// A regular file held open for reading and share-locked for as long as the
// object lives. Only a descriptor: with ten thousand files held, a QFile's
// engine, buffers and extra system calls per file cost more than the lock.
class HeldFile
{
public:
    // Null when the path cannot be opened, is not a regular file once opened
    // (a FIFO must not block us, a device is no file to lock), or another
    // holder has it locked exclusively.
    static std::unique_ptr<HeldFile> open(const QByteArray &path);

    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    bool isOpen() const { return m_fd >= 0; }
    int handle() const { return m_fd; }
    // Lets go of the file and its lock.
    void close();

private:
    explicit HeldFile(int fd)
        : m_fd(fd)
    {
    }

    int m_fd;
};

} // namespace Platform
