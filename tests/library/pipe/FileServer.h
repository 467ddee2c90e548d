#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>

// A small web server on 127.0.0.1 that serves one file at one path and 404
// for everything else; it remembers the request lines it got.
class FileServer : public QObject
{
    Q_OBJECT

public:
    FileServer(const QByteArray &path, const QByteArray &bytes);
    bool listening() const { return m_server.isListening(); }
    QByteArray address(const QByteArray &pathAndQuery) const;

    QList<QByteArray> requestLines;

private:
    void serve();

    QTcpServer m_server;
    QByteArray m_path;
    QByteArray m_bytes;
};
