#include "InstanceConnection.h"

#include "PlatformLogging.h"

#include <QLocalSocket>

namespace Platform {

InstanceConnection::InstanceConnection(QLocalSocket *socket, Handler handler, int readTimeout,
                                       QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_handler(std::move(handler))
{
    m_socket->setParent(this);
    // Never buffer more than one frame and the byte that proves it too long.
    m_socket->setReadBufferSize(MessageFrame::MaxRequestSize + 1);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, &InstanceConnection::timedOut);
    connect(m_socket, &QLocalSocket::readyRead, this, &InstanceConnection::readRequest);
    connect(m_socket, &QLocalSocket::disconnected, this, &InstanceConnection::peerGone);
    m_deadline.start(readTimeout);
    readRequest();
}

void InstanceConnection::readRequest()
{
    if (m_complete)
        return;
    m_buffer += m_socket->read(MessageFrame::MaxRequestSize + 1 - m_buffer.size());
    MessageFrame::Mode mode;
    WindowMessage message;
    switch (MessageFrame::decodeRequest(m_buffer, &mode, &message)) {
    case MessageFrame::Status::Incomplete:
        return;
    case MessageFrame::Status::Malformed:
        drop("malformed request");
        return;
    case MessageFrame::Status::Complete:
        break;
    }
    m_complete = true;
    m_deadline.stop();
    // Handling may open a modal loop; run it outside the socket's own signal so
    // that whatever happens to the socket meanwhile cannot pull it from under us.
    QMetaObject::invokeMethod(
        this, [this, mode, message] { dispatch(mode, message); }, Qt::QueuedConnection);
}

void InstanceConnection::dispatch(MessageFrame::Mode mode, const WindowMessage &message)
{
    qCInfo(instanceLog) << "message" << message.message << message.wParam << message.lParam;
    qint64 result = 0;
    const bool handled = m_handler ? m_handler(message, &result) : false;
    if (m_socket->state() != QLocalSocket::ConnectedState) {
        deleteLater();
        return;
    }
    if (mode == MessageFrame::Mode::Send) {
        m_socket->write(MessageFrame::encodeReply(handled, result));
        m_socket->flush();
    }
    // Let the reply leave before the socket goes; the deadline bounds the wait.
    connect(m_socket, &QLocalSocket::disconnected, this, &QObject::deleteLater);
    m_deadline.start();
    m_socket->disconnectFromServer();
    if (m_socket->state() == QLocalSocket::UnconnectedState)
        deleteLater();
}

void InstanceConnection::peerGone()
{
    if (m_complete)
        return; // dispatch decides when to go
    if (!m_buffer.isEmpty())
        qCWarning(instanceLog) << "dropped an incomplete request of" << m_buffer.size() << "bytes";
    deleteLater();
}

void InstanceConnection::timedOut()
{
    if (m_complete) {
        m_socket->abort();
        deleteLater();
        return;
    }
    drop("no complete request in time");
}

void InstanceConnection::drop(const char *reason)
{
    qCWarning(instanceLog) << "dropped a client:" << reason;
    m_complete = true;
    m_deadline.stop();
    m_socket->abort();
    deleteLater();
}

} // namespace Platform
