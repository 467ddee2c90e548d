#include "FetchedDigests.h"

#include <QFile>
#include <sys/stat.h>

namespace Quorvane {

namespace {

qint64 mtimeOf(const struct stat &info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

} // namespace

FetchedDigests &FetchedDigests::instance()
{
    static FetchedDigests digests;
    return digests;
}

void FetchedDigests::record(const QString &file, const QByteArray &digest)
{
    struct stat info;
    if (digest.size() != 32 || ::lstat(QFile::encodeName(file).constData(), &info) != 0
        || !S_ISREG(info.st_mode))
        return;
    const Identity identity { info.st_dev, info.st_ino };
    std::lock_guard<std::mutex> lock(m_mutex);
    // An inode used again by a later download replaces what was kept of it.
    if (m_kept.insert_or_assign(identity, Kept { qint64(info.st_size), mtimeOf(info), digest })
            .second)
        m_order.push_back(identity);
    while (m_order.size() > Limit) {
        m_kept.erase(m_order.front());
        m_order.pop_front();
    }
}

QByteArray FetchedDigests::of(int fd)
{
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return QByteArray();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_kept.find(Identity { info.st_dev, info.st_ino });
    if (found == m_kept.end() || found->second.size != qint64(info.st_size)
        || found->second.mtime != mtimeOf(info))
        return QByteArray();
    return found->second.digest;
}

} // namespace Quorvane
