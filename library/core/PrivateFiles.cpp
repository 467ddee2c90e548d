#include "PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quorvane {

bool PrivateFiles::openForReading(QFile &file)
{
    const QByteArray name = QFile::encodeName(file.fileName());
    if (name.isEmpty())
        return false;
    // Non-blocking, so a FIFO's open returns at once; the check then refuses it.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat info = {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
        && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
    if (!regular
        || !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered,
                      QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
}

bool PrivateFiles::makeFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    QString at = clean;
    while (!QFileInfo::exists(at) && !QFileInfo(at).isSymLink()) {
        missing.prepend(at);
        const QString up = QFileInfo(at).path();
        if (up == at)
            break;
        at = up;
    }
    for (const QString &folder : missing) {
        const QByteArray name = QFile::encodeName(folder);
        // The umask only takes bits away: chmod makes it exactly 0700.
        if (::mkdir(name.constData(), S_IRWXU) != 0) {
            if (errno != EEXIST)
                return false;
        } else if (::chmod(name.constData(), S_IRWXU) != 0) {
            return false;
        }
    }
    return QFileInfo(clean).isDir();
}

} // namespace Quorvane
