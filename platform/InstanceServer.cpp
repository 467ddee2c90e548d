#include "InstanceServer.h"

#include "InstanceConnection.h"
#include "MessageFrame.h"
#include "OwnerOnly.h"
#include "PlatformLogging.h"
#include "RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

InstanceServer::InstanceServer(const QString &title, const QString &ownerLock, QObject *parent)
    : QObject(parent)
    , m_address(title)
    , m_ownerLockPath(ownerLock)
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
    if (takeOwnerLock() == OwnerLock::Busy)
        return Claim::HeldElsewhere;
    // A second round when the folder went between its check and the lock:
    // the last instance to leave an empty shared folder removes it.
    for (int round = 0; round < 2; ++round) {
        if (!m_address.prepare(&m_error))
            return Claim::Failed;
        if (m_lock.tryLock(0))
            return Claim::Claimed;
        if (m_lock.error() == QLockFile::LockFailedError)
            return Claim::HeldElsewhere;
    }
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
    recordSocket();
    qCInfo(instanceLog) << "listening at" << m_address.socketPath();
    return true;
}

InstanceServer::OwnerLock InstanceServer::takeOwnerLock()
{
    if (m_ownerLockPath.isEmpty() || m_ownerLock >= 0)
        return OwnerLock::Taken;
    OwnerOnly::makeFolder(QFileInfo(m_ownerLockPath).path());
    const QByteArray path = QFile::encodeName(m_ownerLockPath);
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != getuid()) {
        // Without it the channel lock still keeps one instance per environment.
        qCWarning(instanceLog) << "cannot use the owner lock" << m_ownerLockPath
                               << (fd < 0 ? std::strerror(errno) : "not a file of this user");
        if (fd >= 0)
            ::close(fd);
        m_ownerLockPath.clear();
        return OwnerLock::Taken;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        ::close(fd);
        return OwnerLock::Busy;
    }
    m_ownerLock = fd;
    return OwnerLock::Taken;
}

void InstanceServer::recordSocket()
{
    if (m_ownerLock < 0)
        return;
    const QByteArray line = QFile::encodeName(m_address.socketPath()) + '\n';
    if (::ftruncate(m_ownerLock, 0) != 0
        || ::pwrite(m_ownerLock, line.constData(), size_t(line.size()), 0) != line.size())
        qCWarning(instanceLog) << "cannot record the socket in" << m_ownerLockPath;
}

QString InstanceServer::ownerSocket(const QString &ownerLock)
{
    // A FIFO in its place must not keep the caller waiting.
    const std::unique_ptr<QFile> file = RegularFile::openForReading(ownerLock);
    if (!file)
        return {};
    const QByteArray line = file->read(4096);
    if (!line.endsWith('\n'))
        return {};
    return QFile::decodeName(line.chopped(1));
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
    if (m_lock.isLocked()) {
        m_lock.unlock();
        m_address.tidy();
    }
    if (m_ownerLock >= 0) {
        // The record goes before the lock, so nobody reads a dead socket as ours.
        if (::ftruncate(m_ownerLock, 0) != 0)
            qCWarning(instanceLog) << "cannot clear" << m_ownerLockPath;
        ::close(m_ownerLock);
        m_ownerLock = -1;
    }
}

bool InstanceServer::isListening() const
{
    return m_server && m_server->isListening();
}

void InstanceServer::acceptConnections()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        // Refused ones go at once; beyond that, a flood of clients that send
        // nothing must not take every descriptor until their deadline.
        if (m_connections >= 4 * (m_maxWaiting + 16)) {
            qCWarning(instanceLog) << "dropped a client: too many connections";
            socket->abort();
            delete socket;
            continue;
        }
        // The folder keeps other users out; should its mode ever let them
        // in, their requests still go unheard. Root may reach any user.
        ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &peer, &length)
                != 0
            || (peer.uid != ::getuid() && peer.uid != 0)) {
            qCWarning(instanceLog) << "refused a client of another user" << peer.uid;
            socket->abort();
            delete socket;
            continue;
        }
        ++m_connections;
        auto *connection = new InstanceConnection(
            socket,
            [this](const WindowMessage &message, qint64 *result) {
                return deliver(message, result);
            },
            m_readTimeout, this);
        connect(connection, &QObject::destroyed, this, [this] { --m_connections; });
    }
}

bool InstanceServer::deliver(const WindowMessage &message, qint64 *result)
{
    if (m_inFilter >= m_maxWaiting) {
        qCWarning(instanceLog) << "refused a request:" << m_inFilter << "wait for answers";
        *result = MessageFrame::BusyResult;
        return false;
    }
    if (!m_filter)
        return false;
    ++m_inFilter;
    const bool handled = m_filter(message, result);
    --m_inFilter;
    return handled;
}

} // namespace Platform
