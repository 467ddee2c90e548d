#include "SharedMemoryKey.h"

#include <QFile>
#include <QSharedMemory>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

QString SharedMemoryKey::nativeKey(const QString &key)
{
    const QSharedMemory usual(key);
    return usual.nativeKey() + QLatin1Char('-') + QString::number(getuid());
}

bool SharedMemoryKey::isOwnKey(const QString &nativeKey)
{
    struct stat info;
    if (::lstat(QFile::encodeName(nativeKey).constData(), &info) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode) && info.st_uid == getuid();
}

} // namespace Platform
