#include "LockdInstance.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

bool answers(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    qstrncpy(address.sun_path, name.constData(), sizeof address.sun_path);
    const bool connected
        = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

int flagsOf(const QString &path, int *flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const int result = ::ioctl(fd, FS_IOC_GETFLAGS, flags);
    ::close(fd);
    return result;
}

bool setFlags(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

} // namespace

LockdInstance::LockdInstance(const QString &folder)
    : m_folder(folder)
    , m_socketPath(folder + QStringLiteral("/lockd.socket"))
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    if (QFile::encodeName(m_socketPath).size() >= int(sizeof(sockaddr_un::sun_path))) {
        m_socketFolder
            = std::make_unique<QTemporaryDir>(QStringLiteral("/tmp/keycrate-lockd-XXXXXX"));
        // Clients of other users reach it too.
        ::chmod(QFile::encodeName(m_socketFolder->path()).constData(), 0755);
        m_socketPath = m_socketFolder->filePath(QStringLiteral("lockd.socket"));
    }
}

LockdInstance::~LockdInstance()
{
    kill();
}

bool LockdInstance::available(const QString &folder, QString *why)
{
    if (::geteuid() != 0) {
        *why = QStringLiteral("the service sets the immutable flag: needs root");
        return false;
    }
    const QString probe = folder + QStringLiteral("/probe");
    QFile file(probe);
    file.open(QIODevice::WriteOnly);
    file.close();
    int flags = 0;
    const bool works = flagsOf(probe, &flags) == 0 && setFlags(probe, flags | FS_IMMUTABLE_FL)
        && setFlags(probe, flags);
    QFile::remove(probe);
    if (!works)
        *why = QStringLiteral("the file system of %1 has no immutable flag").arg(folder);
    return works;
}

void LockdInstance::clearImmutable(const QString &folder)
{
    QDirIterator entries(folder,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString path = entries.next();
        int flags = 0;
        if (!entries.fileInfo().isSymLink() && flagsOf(path, &flags) == 0
            && (flags & FS_IMMUTABLE_FL))
            setFlags(path, flags & ~FS_IMMUTABLE_FL);
    }
}

bool LockdInstance::immutable(const QString &path)
{
    int flags = 0;
    return flagsOf(path, &flags) == 0 && (flags & FS_IMMUTABLE_FL);
}

uid_t LockdInstance::unusedUid()
{
    uid_t uid = 61000;
    while (::getpwuid(uid))
        ++uid;
    return uid;
}

bool LockdInstance::start(int idleSeconds)
{
    const QString state = m_folder + QStringLiteral("/state");
    QDir().mkpath(state);
    // A test that dies leaves no service behind: it ends in order, clearing
    // its flags.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/keycrate-lockd"),
                    { QStringLiteral("--socket"), socketPath(), QStringLiteral("--state-dir"),
                      state, QStringLiteral("--idle-exit"), QString::number(idleSeconds) });
    if (!m_process.waitForStarted())
        return false;
    for (int attempt = 0; attempt < 200; ++attempt) {
        // The socket answers only once leftovers are released.
        if (answers(socketPath()))
            return true;
        if (m_process.waitForFinished(25))
            return false;
    }
    return false;
}

int LockdInstance::waitForEnd()
{
    if (running() && !m_process.waitForFinished(30000))
        return -1;
    return m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

void LockdInstance::kill()
{
    if (!running())
        return;
    m_process.kill();
    m_process.waitForFinished();
}

void LockdInstance::stop()
{
    if (!running())
        return;
    m_process.terminate();
    if (!m_process.waitForFinished())
        kill();
}
