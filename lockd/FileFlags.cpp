#include "FileFlags.h"

#include <cerrno>
#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

int ioctlRetrying(int fd, unsigned long request, int *flags)
{
    int result;
    do {
        result = ::ioctl(fd, request, flags);
    } while (result != 0 && errno == EINTR);
    return result;
}

} // namespace

FileFlags::State FileFlags::immutable(int fd, int *flags)
{
    *flags = 0;
    if (ioctlRetrying(fd, FS_IOC_GETFLAGS, flags) != 0)
        return State::Unsupported;
    return (*flags & FS_IMMUTABLE_FL) ? State::Immutable : State::Mutable;
}

int FileFlags::addImmutable(int fd, int flags)
{
    flags |= FS_IMMUTABLE_FL;
    return ioctlRetrying(fd, FS_IOC_SETFLAGS, &flags) == 0 ? 0 : errno;
}

int FileFlags::setImmutable(int fd, bool on)
{
    int flags = 0;
    if (ioctlRetrying(fd, FS_IOC_GETFLAGS, &flags) != 0)
        return errno;
    int wanted = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    if (wanted == flags)
        return 0;
    if (ioctlRetrying(fd, FS_IOC_SETFLAGS, &wanted) != 0)
        return errno;
    return 0;
}
