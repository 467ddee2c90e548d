#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A plain HTTP forward proxy on 127.0.0.1: it records the request line each
// client sends (absolute form), passes the request on to the named host in
// origin form and relays the answer back. One request per connection. A
// CONNECT request opens a tunnel to the named host and port.
class ForwardProxy : public QObject
{
    Q_OBJECT
public:
    ForwardProxy();
    quint16 port() const { return m_server.serverPort(); }
    QByteArray url() const;

    QList<QByteArray> requestLines;

private:
    void accept();
    void receive(QTcpSocket *client);
    void tunnel(QTcpSocket *client, const QByteArray &authority, const QByteArray &rest);
    void relay(QTcpSocket *client, const QString &host, quint16 port, const QByteArray &first);

    QTcpServer m_server;
};
