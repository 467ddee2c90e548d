#include "InstanceClient.h"

#include "MessageFrame.h"

#include <QDeadlineTimer>
#include <QLocalSocket>

namespace Platform {

namespace {

bool connectTo(QLocalSocket *socket, const QString &path)
{
    socket->connectToServer(path);
    return socket->waitForConnected(InstanceClient::ConnectTimeoutMs);
}

bool deliver(QLocalSocket *socket, const QByteArray &frame)
{
    if (socket->write(frame) != frame.size())
        return false;
    while (socket->bytesToWrite() > 0) {
        if (!socket->waitForBytesWritten(InstanceClient::ConnectTimeoutMs))
            return false;
    }
    return true;
}

} // namespace

InstanceClient::InstanceClient(const QString &title)
    : m_address(title)
{
}

bool InstanceClient::exists() const
{
    QLocalSocket socket;
    if (!connectTo(&socket, m_address.socketPath()))
        return false;
    socket.abort();
    return true;
}

InstanceClient::Outcome InstanceClient::post(const WindowMessage &message) const
{
    QLocalSocket socket;
    if (!connectTo(&socket, m_address.socketPath()))
        return Outcome::NoInstance;
    if (!deliver(&socket, MessageFrame::encodeRequest(MessageFrame::Mode::Post, message)))
        return Outcome::NoAnswer;
    socket.disconnectFromServer();
    return Outcome::Delivered;
}

InstanceClient::Outcome InstanceClient::send(const WindowMessage &message, qint64 *result,
                                             bool *handled, int timeoutMs) const
{
    QLocalSocket socket;
    if (!connectTo(&socket, m_address.socketPath()))
        return Outcome::NoInstance;
    if (!deliver(&socket, MessageFrame::encodeRequest(MessageFrame::Mode::Send, message)))
        return Outcome::NoAnswer;
    const QDeadlineTimer deadline
        = timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(timeoutMs);
    QByteArray reply;
    for (;;) {
        reply += socket.read(MessageFrame::ReplySize + 1 - reply.size());
        switch (MessageFrame::decodeReply(reply, handled, result)) {
        case MessageFrame::Status::Complete:
            socket.abort();
            return Outcome::Delivered;
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
