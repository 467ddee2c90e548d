#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A one-request-per-connection HTTP server on 127.0.0.1 that records every
// request raw and answers with whatever the test queued, byte for byte.
class ScriptedServer : public QObject
{
    Q_OBJECT
public:
    struct Request
    {
        QByteArray raw; // everything received, head and body
        QByteArray method;
        QByteArray target;
        QByteArray head;
        QByteArray body;
        QByteArray header(const QByteArray &name) const;
    };

    // Send bytes, then close the connection, or keep it open and silent.
    enum Then { Close, Hold };

    ScriptedServer();
    quint16 port() const { return m_server.serverPort(); }
    QByteArray baseUrl() const;

    void queue(const QByteArray &bytes, Then then = Close);
    // A whole response with a body and "Connection: close".
    void queueResponse(int code, const QByteArray &body, Then then = Close);
    // Sends more on the connection that is being held, then closes it.
    void finishHeld(const QByteArray &bytes);
    bool holding() const { return m_held != nullptr; }

    QList<Request> requests;
    QByteArray unparsed; // bytes of connections that never made a whole request

    static QByteArray response(int code, const QByteArray &body);

private:
    void accept();
    void receive(QTcpSocket *socket);

    struct Answer
    {
        QByteArray bytes;
        Then then;
    };
    QTcpServer m_server;
    QList<Answer> m_answers;
    QTcpSocket *m_held = nullptr;
};
