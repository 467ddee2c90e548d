#include "HeldFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

std::unique_ptr<HeldFile> HeldFile::open(const QByteArray &path)
{
    // A zero byte would end the name early and hold another file.
    if (path.isEmpty() || path.contains('\0'))
        return nullptr;
    // Open first and look after: one lookup of the path, and what is checked
    // is what is held. Non-blocking, so a FIFO's open returns at once.
    int fd;
    do {
        fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<HeldFile> held(new HeldFile(fd));
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return nullptr;
    int locked;
    do {
        locked = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0)
        return nullptr;
    return held;
}

HeldFile::~HeldFile()
{
    close();
}

void HeldFile::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace Platform
