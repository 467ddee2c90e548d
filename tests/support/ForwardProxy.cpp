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
    const QList<QByteArray> parts = line.split(' ');
    if (parts.value(0) == "CONNECT") {
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        requestLines.append(line);
        tunnel(client, parts.value(1), buffer.mid(headEnd + 4));
        return;
    }
    requestLines.append(line);
    const QUrl target(QString::fromLatin1(parts.value(1)));
    if (parts.size() != 3 || !target.isValid() || target.host().isEmpty()) {
        client->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    const QByteArray origin = target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
    relay(client, target.host(), quint16(target.port(80)),
          parts[0] + ' ' + (origin.isEmpty() ? "/" : origin) + ' ' + parts[2]
              + buffer.mid(lineEnd));
}

void ForwardProxy::tunnel(QTcpSocket *client, const QByteArray &authority, const QByteArray &rest)
{
    const QUrl target(QStringLiteral("//") + QString::fromLatin1(authority));
    if (!target.isValid() || target.host().isEmpty() || target.port() <= 0) {
        client->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        client->disconnectFromHost();
        return;
    }
    // The head a client must not take for the server's answer.
    client->write("HTTP/1.1 200 Connection established\r\nProxy-Agent: test\r\n\r\n");
    relay(client, target.host(), quint16(target.port()), rest);
}

void ForwardProxy::relay(QTcpSocket *client, const QString &host, quint16 port,
                         const QByteArray &first)
{
    auto *upstream = new QTcpSocket(client);
    client->setProperty("upstream", QVariant::fromValue(upstream));
    upstream->connectToHost(host, port);
    upstream->write(first);
    connect(upstream, &QTcpSocket::readyRead, client,
            [client, upstream] { client->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, client,
            [client] { client->disconnectFromHost(); });
}
