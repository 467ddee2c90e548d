#include "RegularFile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

int RegularFile::openDescriptor(const QByteArray &name)
{
    if (name.isEmpty())
        return -1;
    int fd;
    do {
        fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return -1;
    }
    // Reads of a regular file never wait anyway; hand over an ordinary descriptor.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::unique_ptr<QFile> RegularFile::openForReading(const QString &path)
{
    auto file = std::make_unique<QFile>(path);
    return open(*file, QIODevice::ReadOnly) ? std::move(file) : nullptr;
}

bool RegularFile::open(QFile &file, QIODevice::OpenMode mode)
{
    const int fd = openDescriptor(QFile::encodeName(file.fileName()));
    if (fd < 0)
        return false;
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

RegularFile::Kind RegularFile::kindOf(const QByteArray &path)
{
    struct stat info;
    if (path.isEmpty() || ::stat(path.constData(), &info) != 0)
        return Kind::Missing;
    return S_ISREG(info.st_mode) ? Kind::Regular : Kind::Other;
}

} // namespace Platform
