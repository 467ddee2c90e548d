#pragma once

#include <QByteArray>
#include <QString>
#include <deque>
#include <map>
#include <mutex>
#include <sys/types.h>
#include <utility>

namespace Quorvane {

// The SHA-256 each download of this process took of the bytes it wrote, kept
// by the file's identity (device and inode) with its size and modification
// time as the download left it. A host that would read a fetched file again
// only to hash it asks here instead; a file written, truncated or replaced
// since no longer matches and has no digest. Any thread may use it.
class FetchedDigests
{
public:
    static FetchedDigests &instance();

    // The file the download just closed, and the 32 bytes of its digest.
    void record(const QString &file, const QByteArray &digest);
    // The digest of the file open as fd, or empty.
    QByteArray of(int fd);

private:
    struct Kept
    {
        qint64 size;
        qint64 mtime; // nanoseconds
        QByteArray digest;
    };
    using Identity = std::pair<dev_t, ino_t>;

    // About 10 MB at most in a long-lived host; the oldest go first, and a
    // file whose digest went is only read again.
    static constexpr std::size_t Limit = 1 << 16;

    std::mutex m_mutex;
    std::map<Identity, Kept> m_kept;
    std::deque<Identity> m_order;
};

} // namespace Quorvane
