#include "PrivateFiles.h"

#include "RegularFile.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Quorvane {

bool PrivateFiles::openForReading(QFile &file)
{
    return Platform::RegularFile::open(file, QIODevice::ReadOnly | QIODevice::Unbuffered);
}

bool PrivateFiles::readWhole(const QString &fileName, QByteArray *content)
{
    const int fd = Platform::RegularFile::openDescriptor(QFile::encodeName(fileName));
    if (fd < 0)
        return false;
    struct stat info = {};
    bool whole = ::fstat(fd, &info) == 0;
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
