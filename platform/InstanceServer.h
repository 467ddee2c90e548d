#pragma once

#include "InstanceAddress.h"
#include "WindowMessage.h"

#include <QLockFile>
#include <QObject>
#include <functional>

class QLocalServer;

namespace Platform {

// The running instance's end of the instance channel: registers the process
// under a title for the current user and hands every message that arrives to
// the filter, on the thread that owns this object.
//
// The lock file decides who is the instance, so two starts at the same moment
// cannot both become it; a lock or socket left by an instance that died is
// taken over.
//
// With an owner lock, the instance is also tied to what it owns (keycrate: its
// lock list): an exclusive flock on that file, held for the process's life,
// whatever the environment says about where the channel lives. The owner
// records its socket there, so a second start with another environment still
// finds it (see ownerSocket).
class InstanceServer : public QObject
{
    Q_OBJECT

public:
    // Returns true when it consumed the message; result is the answer a
    // sender waits for.
    using Filter = std::function<bool(const WindowMessage &message, qint64 *result)>;
    enum class Claim { Claimed, HeldElsewhere, Failed };

    explicit InstanceServer(const QString &title, const QString &ownerLock = {},
                            QObject *parent = nullptr);
    ~InstanceServer() override;

    // Takes the owner lock and the instance lock without waiting. Needs no
    // application object.
    Claim claim();
    // Starts taking messages; needs the claim and the application object.
    bool listen();
    // Stops taking messages and removes the socket; the lock stays held.
    void close();
    // Closes and gives up the lock.
    void release();

    void setFilter(Filter filter) { m_filter = std::move(filter); }
    // How long a client may take to deliver its request.
    void setReadTimeout(int milliseconds) { m_readTimeout = milliseconds; }
    // How many requests may be in the filter at once: one that runs a modal
    // loop (a box) takes the next inside it. Beyond the bound a request is
    // answered unhandled with MessageFrame::BusyResult, so thousands of
    // waiting senders cannot stack thousands of boxes and connections.
    void setMaxWaiting(int count) { m_maxWaiting = count; }
    static constexpr int DefaultMaxWaiting = 16;

    bool isListening() const;
    // The socket the holder of the owner lock listens at, as it recorded it;
    // empty when none is recorded.
    static QString ownerSocket(const QString &ownerLock);
    QString errorString() const { return m_error; }
    const InstanceAddress &address() const { return m_address; }

private:
    enum class OwnerLock { Taken, Busy };
    OwnerLock takeOwnerLock();
    void recordSocket();
    void acceptConnections();
    bool deliver(const WindowMessage &message, qint64 *result);

    InstanceAddress m_address;
    QString m_ownerLockPath;
    int m_ownerLock = -1;
    QLockFile m_lock;
    QLocalServer *m_server = nullptr;
    Filter m_filter;
    int m_readTimeout = 5000;
    int m_maxWaiting = DefaultMaxWaiting;
    int m_inFilter = 0;
    int m_connections = 0;
    QString m_error;
};

} // namespace Platform
