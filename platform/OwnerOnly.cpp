#include "OwnerOnly.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

bool OwnerOnly::makeFolder(const QString &path)
{
    const QString clean = QDir::cleanPath(QDir(path).absolutePath());
    QStringList missing;
    for (QString at = clean; !QFileInfo::exists(at) && !QFileInfo(at).isSymLink();) {
        missing.prepend(at);
        const QString up = QFileInfo(at).path();
        if (up == at)
            break;
        at = up;
    }
    for (const QString &folder : std::as_const(missing)) {
        const QByteArray name = QFile::encodeName(folder);
        // A umask that takes the owner's bits too would leave a folder we
        // cannot write in: chmod makes it exactly 0700.
        if (::mkdir(name.constData(), S_IRWXU) != 0) {
            if (errno != EEXIST)
                return false;
        } else if (::chmod(name.constData(), S_IRWXU) != 0) {
            return false;
        }
    }
    return QFileInfo(clean).isDir();
}

void OwnerOnly::prepareFile(const QString &fileName)
{
    const QByteArray name = QFile::encodeName(fileName);
    if (::chmod(name.constData(), S_IRUSR | S_IWUSR) == 0 || errno != ENOENT)
        return;
    makeFolder(QFileInfo(fileName).absolutePath());
    const int fd
        = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

} // namespace Platform
