#include "ServerProbe.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Tries one address; 0 when a connection was made, else the errno.
int connectTo(const addrinfo *address, int timeoutMilliseconds)
{
    const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            address->ai_protocol);
    if (fd < 0)
        return errno;
    int error = 0;
    if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd waiting { fd, POLLOUT, 0 };
            const int ready = ::poll(&waiting, 1, timeoutMilliseconds);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0) {
                error = errno;
            } else {
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
    }
    ::close(fd);
    return error;
}

} // namespace

std::string ServerProbe::unreachable(const std::string &url, int timeoutMilliseconds)
{
    const std::size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string::npos)
        return "the server address " + url + " is not a web address";
    const std::string scheme = url.substr(0, schemeEnd);
    std::string authority = url.substr(schemeEnd + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority = authority.substr(at + 1);
    std::string host = authority;
    std::string port = scheme == "https" ? "443" : "80";
    if (!host.empty() && host[0] == '[') {
        const std::size_t close = host.find(']');
        if (close != std::string::npos) {
            if (close + 1 < host.size() && host[close + 1] == ':')
                port = host.substr(close + 2);
            host = host.substr(1, close - 1);
        }
    } else if (host.find(':') != std::string::npos) {
        port = host.substr(host.find(':') + 1);
        host.resize(host.find(':'));
    }

    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    const int resolved = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
    if (resolved != 0)
        return "cannot find the server " + host + ": " + ::gai_strerror(resolved);
    int error = ENOENT;
    for (const addrinfo *address = addresses; address && error != 0; address = address->ai_next)
        error = connectTo(address, timeoutMilliseconds);
    ::freeaddrinfo(addresses);
    if (error == 0)
        return std::string();
    return "cannot connect to the server at " + url + ": " + std::strerror(error);
}
