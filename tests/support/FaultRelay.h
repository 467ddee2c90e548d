#pragma once

#include <QByteArray>
#include <QObject>
#include <QThread>
#include <atomic>

class QTcpServer;
class QTcpSocket;

// A TCP relay on 127.0.0.1 in front of a target port. Armed with a byte
// pattern, it cuts (closes both sides), refuses (answers HTTP 503 to the side
// that sent the pattern, then closes both) or stalls the first connection whose
// bytes hold it, in either direction, before or after forwarding the read
// that completes the pattern; armed with an earlier pattern too, only once
// that one has passed (on any connection, either way); asked to, every
// connection that holds the pattern from then on. It relays on a thread of
// its own, so that the test may wait for a server without an event loop.
class FaultRelay : public QObject
{
    Q_OBJECT
public:
    enum class Fault { Cut, Refuse, Stall };
    enum class When { BeforeForwarding, AfterForwarding };

    explicit FaultRelay(quint16 targetPort);
    ~FaultRelay() override;
    quint16 port() const { return m_port; }

    void arm(const QByteArray &pattern, Fault fault, When when, const QByteArray &after = {},
             bool every = false);
    // Whether the armed fault happened.
    bool fired() const { return m_fired; }
    // Stalled connections are cut.
    void cutStalled();

private:
    void accept();
    void relay(QTcpSocket *from, QTcpSocket *to);
    void cut(QTcpSocket *from, QTcpSocket *to);

    QThread m_thread;
    QTcpServer *m_server = nullptr;
    quint16 m_port = 0;
    quint16 m_target;
    QByteArray m_pattern;
    QByteArray m_after;
    bool m_every = false;
    Fault m_fault = Fault::Cut;
    When m_when = When::BeforeForwarding;
    std::atomic<bool> m_fired { false };
};
