#include "ProtectionClient.h"

#include "LockdProtocol.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Platform {

namespace {

// Requests in flight at once: enough to keep the service busy, few enough
// that neither side's socket buffer fills with descriptors.
constexpr std::size_t Window = 128;
// The service answers at once; one that does not is treated as gone.
constexpr int AnswerTimeoutMs = 5000;

} // namespace

ProtectionClient::~ProtectionClient()
{
    disconnect();
}

std::string ProtectionClient::socketPath()
{
    const char *path = std::getenv("KEYCRATE_LOCKD_SOCKET");
    return path && *path ? path : LockdProtocol::DefaultSocket;
}

bool ProtectionClient::isImmutable(int fd)
{
    int flags = 0;
    return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL);
}

bool ProtectionClient::connect()
{
    if (m_socket >= 0)
        return true;
    const std::string path = socketPath();
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    int result;
    do {
        result = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return false;
    }
    m_socket = fd;
    return true;
}

void ProtectionClient::disconnect()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
}

std::vector<ProtectionClient::Outcome> ProtectionClient::lock(const std::vector<int> &fds)
{
    std::vector<Outcome> outcomes(fds.size(), Outcome::Unavailable);
    if (!connect())
        return outcomes;
    std::size_t sent = 0;
    std::size_t answered = 0;
    while (answered < fds.size()) {
        while (sent < fds.size() && sent - answered < Window) {
            if (!sendRequest(static_cast<unsigned>(LockdProtocol::Command::Lock), fds[sent], sent))
                return outcomes;
            ++sent;
        }
        int result = 0;
        if (!nextAnswer(&result))
            return outcomes;
        outcomes[answered++] = result == static_cast<int>(LockdProtocol::Result::Protected)
            ? Outcome::Protected
            : Outcome::Refused;
    }
    return outcomes;
}

bool ProtectionClient::unlock(int fd)
{
    int result = 0;
    return isConnected()
        && sendRequest(static_cast<unsigned>(LockdProtocol::Command::Unlock), fd, 0)
        && nextAnswer(&result);
}

bool ProtectionClient::sendRequest(unsigned command, int fd, unsigned long long tag)
{
    LockdProtocol::Request request;
    request.command = command;
    request.tag = tag;
    iovec part { &request, sizeof request };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] {};
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr *header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    ssize_t sent;
    do {
        sent = ::sendmsg(m_socket, &message, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    // A stream socket takes a message this small whole or not at all.
    if (sent != static_cast<ssize_t>(sizeof request)) {
        disconnect();
        return false;
    }
    return true;
}

bool ProtectionClient::nextAnswer(int *result)
{
    LockdProtocol::Answer answer;
    std::size_t have = 0;
    while (have < sizeof answer) {
        pollfd wait { m_socket, POLLIN, 0 };
        const int ready = ::poll(&wait, 1, AnswerTimeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        const ssize_t got = ::recv(m_socket, reinterpret_cast<char *>(&answer) + have,
                                   sizeof answer - have, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    if (have < sizeof answer || answer.magic != LockdProtocol::Magic) {
        disconnect();
        return false;
    }
    *result = answer.result;
    return true;
}

} // namespace Platform
