#include "InstanceAddress.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

// Hash name, separator and suffix: what follows the folder in a socket path.
constexpr int NameLength = 1 + 16 + 7;

QString userFolderIn(const QString &base)
{
    return base + QStringLiteral("/keycrate-") + QString::number(getuid());
}

QString baseDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()
        && QFile::encodeName(userFolderIn(runtime)).size() + NameLength
            <= InstanceAddress::MaxSocketPath)
        return userFolderIn(runtime);
    // Not TMPDIR: its path may be too long for a socket.
    return userFolderIn(QStringLiteral("/tmp"));
}

} // namespace

InstanceAddress::InstanceAddress(const QString &title)
    : m_directory(baseDirectory())
{
    const QString settings
        = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(title.toUtf8());
    hash.addData(QByteArrayView("\n", 1));
    hash.addData(QFile::encodeName(settings));
    m_name = QString::fromLatin1(hash.result().toHex().left(16));
}

QString InstanceAddress::socketPath() const
{
    return m_directory + QLatin1Char('/') + m_name + QStringLiteral(".socket");
}

QString InstanceAddress::lockPath() const
{
    return m_directory + QLatin1Char('/') + m_name + QStringLiteral(".lock");
}

QString InstanceAddress::handOverLockPath() const
{
    return m_directory + QStringLiteral("/handover.lock");
}

bool InstanceAddress::prepare(QString *error) const
{
    const QByteArray path = QFile::encodeName(m_directory);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2")
                     .arg(m_directory, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return isPrivateFolder(m_directory, error);
}

void InstanceAddress::tidy() const
{
    // rmdir takes only an empty folder: another instance's lock or socket keeps it.
    if (m_directory == userFolderIn(QStringLiteral("/tmp")))
        ::rmdir(QFile::encodeName(m_directory).constData());
}

bool InstanceAddress::isPrivateFolder(const QString &folder, QString *error)
{
    QString reason;
    struct stat info;
    if (::lstat(QFile::encodeName(folder).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        reason = QStringLiteral("%1 is not a folder").arg(folder);
    else if (info.st_uid != getuid())
        reason = QStringLiteral("%1 belongs to another user").arg(folder);
    // Whoever could write there meanwhile may have left a socket of their own.
    else if ((info.st_mode & 077) != 0)
        reason = QStringLiteral("%1 is open to other users").arg(folder);
    if (error)
        *error = reason;
    return reason.isEmpty();
}

} // namespace Platform
