#include "ScriptedServer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <cctype>

QByteArray ScriptedServer::Request::header(const QByteArray &name) const
{
    for (const QByteArray &line : head.split('\n')) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

ScriptedServer::ScriptedServer()
{
    connect(&m_server, &QTcpServer::newConnection, this, &ScriptedServer::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray ScriptedServer::baseUrl() const
{
    return "http://127.0.0.1:" + QByteArray::number(port());
}

void ScriptedServer::queue(const QByteArray &bytes, Then then)
{
    m_answers.append({ bytes, then });
}

void ScriptedServer::queueResponse(int code, const QByteArray &body, Then then)
{
    queue(response(code, body), then);
}

QByteArray ScriptedServer::response(int code, const QByteArray &body)
{
    return "HTTP/1.1 " + QByteArray::number(code) + " Scripted\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

void ScriptedServer::finishHeld(const QByteArray &bytes)
{
    if (!m_held)
        return;
    m_held->write(bytes);
    m_held->disconnectFromHost();
    m_held = nullptr;
}

void ScriptedServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { receive(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            // What a client sent without completing a request (a TLS hello).
            if (socket->property("answered").isNull())
                unparsed += socket->property("buffer").toByteArray() + socket->readAll();
            if (m_held == socket)
                m_held = nullptr;
            socket->deleteLater();
        });
    }
}

void ScriptedServer::receive(QTcpSocket *socket)
{
    if (!socket->property("answered").isNull()) {
        socket->readAll();
        return;
    }
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    socket->setProperty("buffer", buffer);
    if (!buffer.isEmpty() && !std::isalpha(static_cast<unsigned char>(buffer.at(0)))) {
        socket->disconnectFromHost(); // not HTTP (a TLS hello): recorded as unparsed
        return;
    }
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    Request request;
    request.head = buffer.left(headEnd);
    const qint64 length = request.header("Content-Length").toLongLong();
    if (buffer.size() < headEnd + 4 + length)
        return;
    request.raw = buffer;
    request.body = buffer.mid(headEnd + 4, length);
    const QList<QByteArray> requestLine
        = request.head.left(request.head.indexOf("\r\n")).split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    requests.append(request);
    socket->setProperty("answered", true);
    socket->setProperty("buffer", QByteArray());

    const Answer answer
        = m_answers.isEmpty() ? Answer { response(200, "OK\n"), Close } : m_answers.takeFirst();
    socket->write(answer.bytes);
    if (answer.then == Close)
        socket->disconnectFromHost();
    else
        m_held = socket;
}
