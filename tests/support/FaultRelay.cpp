#include "FaultRelay.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

FaultRelay::FaultRelay(quint16 targetPort)
    : m_target(targetPort)
{
    moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_server = new QTcpServer(this);
            connect(m_server, &QTcpServer::newConnection, this, &FaultRelay::accept);
            m_server->listen(QHostAddress::LocalHost, 0);
            m_port = m_server->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

FaultRelay::~FaultRelay()
{
    QMetaObject::invokeMethod(
        this, [this] { qDeleteAll(children()); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void FaultRelay::arm(const QByteArray &pattern, Fault fault, When when, const QByteArray &after,
                     bool every)
{
    QMetaObject::invokeMethod(
        this,
        [=] {
            m_pattern = pattern;
            m_after = after;
            m_every = every;
            m_fault = fault;
            m_when = when;
            m_fired = false;
        },
        Qt::BlockingQueuedConnection);
}

void FaultRelay::cutStalled()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            for (QTcpSocket *socket : findChildren<QTcpSocket *>())
                if (socket->property("stalled").toBool())
                    socket->abort();
        },
        Qt::BlockingQueuedConnection);
}

void FaultRelay::accept()
{
    while (QTcpSocket *client = m_server->nextPendingConnection()) {
        client->setParent(this);
        auto *upstream = new QTcpSocket(this);
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
        connect(client, &QTcpSocket::readyRead, this, [=] { relay(client, upstream); });
        connect(upstream, &QTcpSocket::readyRead, this, [=] { relay(upstream, client); });
        connect(client, &QTcpSocket::disconnected, this, [=] { cut(client, upstream); });
        connect(upstream, &QTcpSocket::disconnected, this, [=] { cut(upstream, client); });
    }
}

void FaultRelay::relay(QTcpSocket *from, QTcpSocket *to)
{
    if (from->property("stalled").toBool())
        return;
    const QByteArray bytes = from->readAll();
    // The last bytes of the read before, so that a pattern split between two
    // reads is seen too.
    const QByteArray seen = from->property("tail").toByteArray() + bytes;
    from->setProperty("tail", seen.right(qMax(0, int(qMax(m_pattern.size(), m_after.size())) - 1)));
    const bool hit = (m_every || !m_fired) && !m_pattern.isEmpty() && m_after.isEmpty()
        && seen.contains(m_pattern);
    if (!m_after.isEmpty() && seen.contains(m_after))
        m_after.clear();
    if (!hit || m_when == When::AfterForwarding) {
        // Written while the target still connects, the bytes wait in the
        // socket's buffer.
        to->write(bytes);
    }
    if (!hit)
        return;
    m_fired = true;
    if (m_fault == Fault::Stall) {
        from->setProperty("stalled", true);
        to->setProperty("stalled", true);
        // Nothing more is taken from the sockets: their senders block.
        from->setReadBufferSize(1);
        to->setReadBufferSize(1);
        return;
    }
    if (m_fault == Fault::Refuse) {
        from->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                    "Connection: close\r\n\r\n");
        from->waitForBytesWritten(5000);
    } else if (to->state() == QAbstractSocket::ConnectedState) {
        to->waitForBytesWritten(5000);
    }
    cut(from, to);
}

void FaultRelay::cut(QTcpSocket *from, QTcpSocket *to)
{
    from->abort();
    to->abort();
    from->deleteLater();
    to->deleteLater();
}
