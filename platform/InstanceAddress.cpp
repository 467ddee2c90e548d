#include "InstanceAddress.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

QString baseDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime;
    return QDir::tempPath();
}

} // namespace

InstanceAddress::InstanceAddress(const QString &title)
    : m_directory(baseDirectory() + QStringLiteral("/keycrate-") + QString::number(getuid()))
{
    const QString settings
        = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(title.toUtf8());
    hash.addData(QByteArrayView("\n", 1));
    hash.addData(QFile::encodeName(settings));
    // Short enough that the socket path fits a Unix socket address.
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

bool InstanceAddress::prepare(QString *error) const
{
    const QByteArray path = QFile::encodeName(m_directory);
    if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2")
                     .arg(m_directory, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    struct stat info;
    if (::lstat(path.constData(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = QStringLiteral("%1 is not a folder").arg(m_directory);
        return false;
    }
    if (info.st_uid != getuid()) {
        *error = QStringLiteral("%1 belongs to another user").arg(m_directory);
        return false;
    }
    if ((info.st_mode & 077) != 0 && ::chmod(path.constData(), 0700) != 0) {
        *error = QStringLiteral("%1 is open to other users").arg(m_directory);
        return false;
    }
    return true;
}

} // namespace Platform
