#pragma once

#include "MessageFrame.h"
#include "WindowMessage.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>
#include <functional>

class QLocalSocket;

namespace Platform {

// One client of the instance channel: reads its one request, has it handled
// and answers a send. Deletes itself when done, and drops a client that sends
// garbage, too much, or nothing complete in time.
class InstanceConnection : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<bool(const WindowMessage &message, qint64 *result)>;

    InstanceConnection(QLocalSocket *socket, Handler handler, int readTimeout, QObject *parent);

private:
    void readRequest();
    void dispatch(MessageFrame::Mode mode, const WindowMessage &message);
    void peerGone();
    void timedOut();
    void drop(const char *reason);

    QLocalSocket *m_socket;
    Handler m_handler;
    QByteArray m_buffer;
    QTimer m_deadline;
    bool m_complete = false;
};

} // namespace Platform
