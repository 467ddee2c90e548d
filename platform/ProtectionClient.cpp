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
constexpr std::size_t Window = 256;
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
    // Without waiting: a service whose queue of connections is full (others
    // flooding it) leaves the lock advisory rather than the window frozen.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    m_socket = fd;
    return true;
}

void ProtectionClient::disconnect()
{
    if (m_socket >= 0)
        ::close(m_socket);
    m_socket = -1;
    m_received.clear();
    m_queue.clear();
    m_inFlight.clear();
}

void ProtectionClient::submit(int fd, std::uint64_t tag)
{
    m_queue.push_back({ fd, tag });
}

std::vector<ProtectionClient::Reply> ProtectionClient::fail(bool *broken)
{
    std::vector<Reply> replies;
    for (const std::uint64_t tag : m_inFlight)
        replies.push_back({ tag, Outcome::Unavailable });
    for (const Request &request : m_queue)
        replies.push_back({ request.tag, Outcome::Unavailable });
    disconnect();
    if (broken)
        *broken = true;
    return replies;
}

std::vector<ProtectionClient::Reply> ProtectionClient::pump(bool wait, bool *broken)
{
    if (!busy())
        return {};
    if (!connect())
        return fail(broken);
    // New requests go out only once the answers at hand are taken, so the
    // service gets them in batches, each noted in its journal at once.
    std::vector<Reply> replies;
    const bool due = !m_inFlight.empty();
    if (!receive(wait && due ? AnswerTimeoutMs : 0) && (wait && due))
        return fail(broken);
    int result = 0;
    std::uint64_t tag = 0;
    while (takeAnswer(&result, &tag)) {
        if (m_inFlight.empty() || m_inFlight.front() != tag)
            return fail(broken); // an answer to nothing we asked
        m_inFlight.pop_front();
        replies.push_back({ tag,
                            result == static_cast<int>(LockdProtocol::Result::Protected)
                                ? Outcome::Protected
                                : Outcome::Refused });
    }
    if (m_socket < 0) {
        std::vector<Reply> rest = fail(broken);
        replies.insert(replies.end(), rest.begin(), rest.end());
        return replies;
    }
    while (!m_queue.empty() && m_inFlight.size() < Window) {
        const Request request = m_queue.front();
        if (!sendRequest(static_cast<unsigned>(LockdProtocol::Command::Lock), request.fd,
                         request.tag)) {
            std::vector<Reply> rest = fail(broken);
            replies.insert(replies.end(), rest.begin(), rest.end());
            return replies;
        }
        m_queue.pop_front();
        m_inFlight.push_back(request.tag);
    }
    return replies;
}

std::vector<ProtectionClient::Outcome> ProtectionClient::lock(const std::vector<int> &fds,
                                                              std::vector<Reply> *earlier)
{
    // Tags of earlier submissions are the caller's; these count down from
    // the top, out of their way.
    constexpr std::uint64_t Own = ~std::uint64_t(0) - (std::uint64_t(1) << 32);
    for (std::size_t index = 0; index < fds.size(); ++index)
        submit(fds[index], Own + index);
    std::vector<Outcome> outcomes(fds.size(), Outcome::Unavailable);
    while (busy()) {
        for (const Reply &reply : pump(true)) {
            if (reply.tag >= Own && reply.tag - Own < fds.size())
                outcomes[reply.tag - Own] = reply.outcome;
            else if (earlier)
                earlier->push_back(reply);
        }
    }
    return outcomes;
}

void ProtectionClient::finish(std::vector<Reply> *replies)
{
    while (busy()) {
        const std::vector<Reply> more = pump(true);
        if (replies)
            replies->insert(replies->end(), more.begin(), more.end());
    }
}

bool ProtectionClient::unlock(int fd, std::vector<Reply> *earlier)
{
    finish(earlier);
    int result = 0;
    std::uint64_t tag = 0;
    if (!isConnected()
        || !sendRequest(static_cast<unsigned>(LockdProtocol::Command::Unlock), fd, 0))
        return false;
    while (!takeAnswer(&result, &tag)) {
        if (m_socket < 0 || !receive(AnswerTimeoutMs)) {
            disconnect();
            return false;
        }
    }
    return true;
}

bool ProtectionClient::sendRequest(unsigned command, int fd, std::uint64_t tag)
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
    return sent == static_cast<ssize_t>(sizeof request);
}

bool ProtectionClient::receive(int timeoutMs)
{
    char buffer[16384];
    for (;;) {
        pollfd wait { m_socket, POLLIN, 0 };
        const int ready = ::poll(&wait, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return timeoutMs == 0;
        const ssize_t got = ::recv(m_socket, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0) {
            // The service ended: what was received still counts.
            ::close(m_socket);
            m_socket = -1;
            return false;
        }
        m_received.append(buffer, static_cast<std::size_t>(got));
        if (static_cast<std::size_t>(got) < sizeof buffer)
            return true;
        timeoutMs = 0;
    }
}

bool ProtectionClient::takeAnswer(int *result, std::uint64_t *tag)
{
    LockdProtocol::Answer answer;
    if (m_received.size() < sizeof answer)
        return false;
    std::memcpy(&answer, m_received.data(), sizeof answer);
    m_received.erase(0, sizeof answer);
    if (answer.magic != LockdProtocol::Magic) {
        m_received.clear();
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
        return false;
    }
    *result = answer.result;
    *tag = answer.tag;
    return true;
}

} // namespace Platform
