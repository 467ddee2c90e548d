#include "ListenSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Where systemd's passed descriptors begin.
constexpr int FirstPassed = 3;

bool decimal(const char *text, long *value)
{
    if (!text || !*text)
        return false;
    char *end = nullptr;
    errno = 0;
    *value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0';
}

} // namespace

int ListenSocket::fromSystemd()
{
    long pid = 0;
    long count = 0;
    const bool ours = decimal(std::getenv("LISTEN_PID"), &pid) && pid == ::getpid()
        && decimal(std::getenv("LISTEN_FDS"), &count) && count >= 1;
    // Not for children (there are none, but the variables must not linger).
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (!ours)
        return -1;
    for (long fd = FirstPassed + 1; fd < FirstPassed + count; ++fd)
        ::close(static_cast<int>(fd));
    ::fcntl(FirstPassed, F_SETFD, FD_CLOEXEC);
    const int flags = ::fcntl(FirstPassed, F_GETFL);
    ::fcntl(FirstPassed, F_SETFL, flags | O_NONBLOCK);
    return FirstPassed;
}

int ListenSocket::bind(const std::string &path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size());
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            errno = EEXIST;
            return -1;
        }
        ::unlink(path.c_str());
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0
        || ::chmod(path.c_str(), 0666) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}
