#include "RawConnection.h"

#include <QDateTime>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 now()
{
    return QDateTime::currentMSecsSinceEpoch();
}

} // namespace

RawConnection::~RawConnection()
{
    close();
}

bool RawConnection::open(int port, const char *source, int receiveBuffer)
{
    close();
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0)
        return false;
    if (receiveBuffer > 0)
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    ::inet_pton(AF_INET, source, &address.sin_addr);
    if (::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (::connect(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close();
        return false;
    }
    return true;
}

bool RawConnection::send(const QByteArray &bytes, int timeoutMs)
{
    // A server that stops reading fails the send instead of hanging the test.
    const qint64 deadline = now() + timeoutMs;
    qsizetype sent = 0;
    while (m_fd >= 0 && sent < bytes.size()) {
        const ssize_t n
            = ::send(m_fd, bytes.constData() + sent, static_cast<size_t>(bytes.size() - sent),
                     MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd entry { m_fd, POLLOUT, 0 };
            const qint64 left = deadline - now();
            if (left <= 0 || (::poll(&entry, 1, static_cast<int>(left)) < 0 && errno != EINTR))
                return false;
            continue;
        }
        if (n <= 0)
            return false;
        sent += n;
    }
    return m_fd >= 0;
}

bool RawConnection::fill(qint64 deadline)
{
    if (m_fd < 0 || m_eof)
        return false;
    pollfd entry { m_fd, POLLIN, 0 };
    // A deadline already past still takes what has arrived.
    const qint64 left = qMax<qint64>(0, deadline - now());
    if (::poll(&entry, 1, static_cast<int>(left)) <= 0)
        return false;
    char buffer[65536];
    const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
        m_eof = true;
        return false;
    }
    m_pending.append(buffer, n);
    return true;
}

RawConnection::Response RawConnection::read(int timeoutMs)
{
    Response response;
    const qint64 deadline = now() + timeoutMs;
    qsizetype end;
    while ((end = m_pending.indexOf("\r\n\r\n")) < 0) {
        if (!fill(deadline)) {
            response.closed = m_eof;
            return response;
        }
    }
    const QList<QByteArray> lines = m_pending.left(end).split('\n');
    m_pending.remove(0, end + 4);
    const QList<QByteArray> first = lines.first().trimmed().split(' ');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const qsizetype colon = lines[i].indexOf(':');
        if (colon > 0)
            response.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                    lines[i].mid(colon + 1).trimmed());
    }
    const int status = first.size() > 1 ? first[1].toInt() : 0;
    if (status == 100)
        return read(static_cast<int>(deadline - now()));

    if (response.headers.contains("content-length")) {
        const qsizetype length = response.headers.value("content-length").toLongLong();
        while (m_pending.size() < length && fill(deadline)) { }
        response.body = m_pending.left(length);
        m_pending.remove(0, response.body.size());
        if (response.body.size() < length) {
            response.closed = true;
            return response; // cut short: the status says what was promised
        }
    } else if (response.headers.value("transfer-encoding") == "chunked") {
        for (;;) {
            qsizetype line;
            while ((line = m_pending.indexOf("\r\n")) < 0 && fill(deadline)) { }
            if (line < 0)
                return response;
            const qsizetype size = m_pending.left(line).toLongLong(nullptr, 16);
            while (m_pending.size() < line + 2 + size + 2 && fill(deadline)) { }
            if (m_pending.size() < line + 2 + size + 2)
                return response;
            response.body += m_pending.mid(line + 2, size);
            m_pending.remove(0, line + 2 + size + 2);
            if (size == 0)
                break;
        }
    } else {
        while (fill(deadline)) { }
        response.body = m_pending;
        m_pending.clear();
    }
    response.status = status;
    if (response.headers.value("connection") == "close")
        response.closed = waitClosed(static_cast<int>(qMax<qint64>(0, deadline - now())));
    return response;
}

bool RawConnection::waitClosed(int timeoutMs)
{
    const qint64 deadline = now() + timeoutMs;
    while (fill(deadline))
        m_pending.clear();
    return m_eof;
}

qint64 RawConnection::trickle(int bytesPerSecond, int durationMs)
{
    // Paced by the clock, not by the ticks: a tick that a busy machine runs
    // late is made up by the next one, so the rate holds under load.
    const qint64 start = now();
    QByteArray buffer(qMax(1, bytesPerSecond), Qt::Uninitialized);
    qint64 total = 0;
    for (qint64 elapsed = 0; m_fd >= 0 && elapsed < durationMs; elapsed = now() - start) {
        ::poll(nullptr, 0, 100);
        const qint64 owed = qMin<qint64>(
            buffer.size(), bytesPerSecond * qMin<qint64>(now() - start, durationMs) / 1000 - total);
        if (owed <= 0)
            continue;
        const ssize_t n = ::recv(m_fd, buffer.data(), static_cast<size_t>(owed), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            m_eof = true;
            return -1;
        }
        total += qMax<ssize_t>(0, n);
    }
    return total;
}

void RawConnection::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_pending.clear();
    m_eof = false;
}

QByteArray rawPost(const QByteArray &target, const QByteArray &body, const QByteArray &extraHead,
                   bool withLength)
{
    QByteArray request = "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHead;
    if (withLength)
        request += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return request + "\r\n" + body;
}
