#pragma once

#include <QByteArray>
#include <QNetworkAccessManager>

// Plain POST requests with a bounded wait, the way the library's connection
// sends them.
class HttpClient
{
public:
    struct Reply
    {
        int status = 0; // 0 when no answer came
        QByteArray body;
        QString error;
    };

    // url is taken as already encoded.
    Reply post(const QString &url, const QByteArray &body, int timeout = 60000);
    // Closes idle keep-alive connections, which a stopping server would wait out.
    void closeIdleConnections() { m_manager.clearConnectionCache(); }

private:
    QNetworkAccessManager m_manager;
};
