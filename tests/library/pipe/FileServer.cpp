#include "FileServer.h"

#include <QTcpSocket>

FileServer::FileServer(const QByteArray &path, const QByteArray &bytes)
    : m_path(path)
    , m_bytes(bytes)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FileServer::serve);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray FileServer::address(const QByteArray &pathAndQuery) const
{
    return "http://127.0.0.1:" + QByteArray::number(m_server.serverPort()) + pathAndQuery;
}

void FileServer::serve()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
            // Answer once the whole head is in: closing on unread bytes would
            // reset the connection under the answer.
            QByteArray head = socket->property("head").toByteArray() + socket->readAll();
            socket->setProperty("head", head);
            if (!head.contains("\r\n\r\n") || socket->property("answered").toBool())
                return;
            socket->setProperty("answered", true);
            const QByteArray line = head.left(head.indexOf("\r\n"));
            requestLines << line;
            const QList<QByteArray> parts = line.split(' ');
            const QByteArray target = parts.value(1);
            const int query = target.indexOf('?');
            const QByteArray path = query < 0 ? target : target.left(query);
            const bool found = parts.value(0) == "GET" && path == m_path;
            const QByteArray body = found ? m_bytes : QByteArray("not here");
            socket->write((found ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 404 Not Found\r\n")
                          + QByteArray("Content-Type: application/octet-stream\r\n")
                          + "Content-Length: " + QByteArray::number(body.size()) + "\r\n"
                          + "Connection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    }
}
