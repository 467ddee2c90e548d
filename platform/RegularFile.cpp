#include "RegularFile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

int openDescriptor(const QByteArray &name)
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

} // namespace

std::unique_ptr<QFile> RegularFile::openForReading(const QString &path)
{
    const int fd = openDescriptor(QFile::encodeName(path));
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file;
}

RegularFile::Kind RegularFile::kindOf(const QByteArray &path)
{
    struct stat info;
    if (path.isEmpty() || ::stat(path.constData(), &info) != 0)
        return Kind::Missing;
    return S_ISREG(info.st_mode) ? Kind::Regular : Kind::Other;
}

} // namespace Platform
