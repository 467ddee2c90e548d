#include "OwnFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

int OwnFile::open(const std::string &path, int flags, std::string *problem, mode_t mode)
{
    int fd;
    // Non-blocking, so a FIFO's open returns at once; the check then refuses it.
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int error = errno;
        // A FIFO nobody reads refuses a writer with ENXIO.
        *problem = path + ": "
            + (error == ELOOP       ? std::string("a link in its place; not followed")
                   : error == ENXIO ? std::string("not a regular file; not used")
                                    : std::string(std::strerror(error)));
        errno = error;
        return -1;
    }
    struct stat info;
    const char *wrong = nullptr;
    if (::fstat(fd, &info) != 0)
        wrong = std::strerror(errno);
    else if (!S_ISREG(info.st_mode))
        wrong = "not a regular file; not used";
    else if (info.st_uid != ::geteuid())
        wrong = "a file of another user; not used";
    else if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        wrong = std::strerror(errno);
    if (wrong) {
        ::close(fd);
        *problem = path + ": " + wrong;
        errno = EINVAL;
        return -1;
    }
    return fd;
}

bool OwnFile::open(QFile &file, QIODevice::OpenMode mode, Missing missing, std::string *problem)
{
    const int create = missing == Missing::Create ? O_CREAT : 0;
    const int flags = mode.testFlag(QIODevice::Append) ? O_WRONLY | O_APPEND | create
        : mode.testFlag(QIODevice::WriteOnly)          ? O_RDWR | create
                                                       : O_RDONLY;
    const std::string name = QFile::encodeName(file.fileName()).toStdString();
    std::string why;
    const int fd = open(name, flags, &why);
    if (fd >= 0 && file.open(fd, mode, QFileDevice::AutoCloseHandle))
        return true;
    if (fd >= 0) {
        ::close(fd);
        why = name + ": " + file.errorString().toStdString();
    } else if (errno == ENOENT) {
        return false;
    }
    if (problem)
        *problem = why;
    else
        qWarning("%s", why.c_str());
    return false;
}

} // namespace Platform
