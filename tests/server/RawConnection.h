#pragma once

#include <QByteArray>
#include <QMap>

// A blocking TCP client that sends exactly the bytes it is given, for requests
// no well-behaved HTTP client would send. Every wait is bounded.
class RawConnection
{
public:
    struct Response
    {
        int status = 0; // 0 when no complete head came
        QMap<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
        // The server closed the connection after (or instead of) this answer.
        bool closed = false;
    };

    RawConnection() = default;
    ~RawConnection();
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    // Connects from source (any loopback address works on Linux); receiveBuffer
    // > 0 shrinks the socket's receive buffer first.
    bool open(int port, const char *source = "127.0.0.1", int receiveBuffer = 0);
    // False once the server has closed or reset the connection, or when it
    // has not taken every byte within timeoutMs.
    bool send(const QByteArray &bytes, int timeoutMs = 60000);
    // Reads one answer: its head, then a body of Content-Length bytes, or
    // chunked, or up to the close.
    Response read(int timeoutMs = 10000);
    // True when the server closes the connection within timeoutMs; what
    // arrives before is dropped.
    bool waitClosed(int timeoutMs);
    // Reads at about bytesPerSecond for durationMs, as a slow client would;
    // the bytes read, or -1 once the server has closed.
    qint64 trickle(int bytesPerSecond, int durationMs);
    void close();
    bool isOpen() const { return m_fd >= 0; }

private:
    // Appends what arrives within the deadline; false on close or timeout.
    bool fill(qint64 deadline);

    int m_fd = -1;
    QByteArray m_pending;
    bool m_eof = false;
};

// One request as bytes: a POST with Content-Length unless extraHead says otherwise.
QByteArray rawPost(const QByteArray &target, const QByteArray &body,
                   const QByteArray &extraHead = {}, bool withLength = true);
