#include "ForwardProxy.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QUrl>

ForwardProxy::ForwardProxy()
{
    connect(&m_server, &QTcpServer::newConnection, this, &ForwardProxy::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray ForwardProxy::url() const
{
    return "http://127.0.0.1:" + QByteArray::number(port());
}

void ForwardProxy::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        client->setParent(this);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { receive(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void ForwardProxy::receive(QTcpSocket *client)
{
    if (auto *upstream = client->property("upstream").value<QTcpSocket *>()) {
        upstream->write(client->readAll());
        return;
    }
    QByteArray buffer = client->property("buffer").toByteArray() + client->readAll();
    client->setProperty("buffer", buffer);
    const int lineEnd = buffer.indexOf("\r\n");
    if (lineEnd < 0)
        return;
    const QByteArray line = buffer.left(lineEnd);
    requestLines.append(line);
    const QList<QByteArray> parts = line.split(' ');
    const QUrl target(QString::fromLatin1(parts.value(1)));
    if (parts.size() != 3 || !target.isValid() || target.host().isEmpty()) {
        client->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    auto *upstream = new QTcpSocket(client);
    client->setProperty("upstream", QVariant::fromValue(upstream));
    upstream->connectToHost(target.host(), quint16(target.port(80)));
    const QByteArray origin = target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
    upstream->write(parts[0] + ' ' + (origin.isEmpty() ? "/" : origin) + ' ' + parts[2]
                    + buffer.mid(lineEnd));
    connect(upstream, &QTcpSocket::readyRead, client,
            [client, upstream] { client->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, client,
            [client] { client->disconnectFromHost(); });
}
