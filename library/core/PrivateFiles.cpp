#include "PrivateFiles.h"

#include <QFile>
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

bool PrivateFiles::readWhole(const QString &fileName, QByteArray *content)
{
    const QByteArray name = QFile::encodeName(fileName);
    if (name.isEmpty())
        return false;
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info = {};
    bool whole = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (whole && content) {
        // One byte more than the size asks in the same call whether the file
        // grew meanwhile; a regular file gives less only at its end.
        QByteArray bytes(qsizetype(info.st_size) + 1, Qt::Uninitialized);
        qsizetype have = 0;
        for (;;) {
            const ssize_t got = ::read(fd, bytes.data() + have, size_t(bytes.size() - have));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                whole = false;
                break;
            }
            have += got;
            if (got == 0 || have < bytes.size())
                break;
            bytes.resize(bytes.size() * 2);
        }
        bytes.truncate(have);
        *content = whole ? std::move(bytes) : QByteArray();
    }
    ::close(fd);
    return whole;
}

} // namespace Quorvane
