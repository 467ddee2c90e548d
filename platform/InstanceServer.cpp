#include "InstanceServer.h"

#include "InstanceConnection.h"
#include "PlatformLogging.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace Platform {

InstanceServer::InstanceServer(const QString &title, QObject *parent)
    : QObject(parent)
    , m_address(title)
    , m_lock(m_address.lockPath())
{
    // Only a dead owner makes the lock stale: a long-running instance keeps it.
    m_lock.setStaleLockTime(0);
}

InstanceServer::~InstanceServer()
{
    release();
}

InstanceServer::Claim InstanceServer::claim()
{
    if (m_lock.isLocked())
        return Claim::Claimed;
    if (!m_address.prepare(&m_error))
        return Claim::Failed;
    if (m_lock.tryLock(0))
        return Claim::Claimed;
    if (m_lock.error() == QLockFile::LockFailedError)
        return Claim::HeldElsewhere;
    m_error = QStringLiteral("cannot create the lock file %1").arg(m_address.lockPath());
    return Claim::Failed;
}

bool InstanceServer::listen()
{
    if (!m_lock.isLocked()) {
        m_error = QStringLiteral("the instance lock is not held");
        return false;
    }
    if (m_server)
        return true;
    // Holding the lock, any socket there was left by an instance that died.
    QLocalServer::removeServer(m_address.socketPath());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_address.socketPath())) {
        m_error = m_server->errorString();
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, &InstanceServer::acceptConnections);
    qCInfo(instanceLog) << "listening at" << m_address.socketPath();
    return true;
}

void InstanceServer::close()
{
    if (!m_server)
        return;
    m_server->close();
    delete m_server;
    m_server = nullptr;
}

void InstanceServer::release()
{
    close();
    if (m_lock.isLocked())
        m_lock.unlock();
}

bool InstanceServer::isListening() const
{
    return m_server && m_server->isListening();
}

void InstanceServer::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        new InstanceConnection(
            socket,
            [this](const WindowMessage &message, qint64 *result) {
                return deliver(message, result);
            },
            m_readTimeout, this);
    }
}

bool InstanceServer::deliver(const WindowMessage &message, qint64 *result)
{
    return m_filter ? m_filter(message, result) : false;
}

} // namespace Platform
