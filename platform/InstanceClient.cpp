#include "InstanceClient.h"

#include "InstanceAddress.h"
#include "MessageFrame.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QLocalSocket>

namespace Platform {

namespace {

bool connectTo(QLocalSocket *socket, const QString &path)
{
    if (path.isEmpty() || !InstanceAddress::isPrivateFolder(QFileInfo(path).path()))
        return false;
    socket->connectToServer(path);
    return socket->waitForConnected(InstanceClient::ConnectTimeoutMs);
}

bool deliver(QLocalSocket *socket, const QByteArray &frame)
{
    if (frame.isEmpty() || socket->write(frame) != frame.size())
        return false;
    while (socket->bytesToWrite() > 0) {
        if (!socket->waitForBytesWritten(InstanceClient::ConnectTimeoutMs))
            return false;
    }
    return true;
}

} // namespace

InstanceClient::InstanceClient(const QString &title)
    : m_socketPath(InstanceAddress(title).socketPath())
{
}

InstanceClient InstanceClient::atSocket(const QString &socketPath)
{
    InstanceClient client;
    client.m_socketPath = socketPath;
    return client;
}

bool InstanceClient::exists() const
{
    QLocalSocket socket;
    if (!connectTo(&socket, m_socketPath))
        return false;
    socket.abort();
    return true;
}

InstanceClient::Outcome InstanceClient::post(const WindowMessage &message) const
{
    QLocalSocket socket;
    if (!connectTo(&socket, m_socketPath))
        return Outcome::NoInstance;
    if (!deliver(&socket, MessageFrame::encodeRequest(MessageFrame::Mode::Post, message)))
        return Outcome::NoAnswer;
    socket.disconnectFromServer();
    return Outcome::Delivered;
}

InstanceClient::Outcome InstanceClient::send(const WindowMessage &message, qint64 *result,
                                             bool *handled, int timeoutMs,
                                             const std::function<void()> &delivered) const
{
    QLocalSocket socket;
    if (!connectTo(&socket, m_socketPath))
        return Outcome::NoInstance;
    if (!deliver(&socket, MessageFrame::encodeRequest(MessageFrame::Mode::Send, message)))
        return Outcome::NoAnswer;
    if (delivered)
        delivered();
    const QDeadlineTimer deadline
        = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    QByteArray reply;
    for (;;) {
        reply += socket.read(MessageFrame::ReplySize + 1 - reply.size());
        switch (MessageFrame::decodeReply(reply, handled, result)) {
        case MessageFrame::Status::Complete:
            socket.abort();
            return !*handled && *result == MessageFrame::BusyResult ? Outcome::Busy
                                                                    : Outcome::Delivered;
        case MessageFrame::Status::Malformed:
            return Outcome::NoAnswer;
        case MessageFrame::Status::Incomplete:
            break;
        }
        if (deadline.hasExpired() || !socket.waitForReadyRead(int(deadline.remainingTime())))
            return Outcome::NoAnswer;
    }
}

} // namespace Platform
