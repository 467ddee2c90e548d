#include "LockTable.h"

#include "FileFlags.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using LockdProtocol::Result;

namespace {

// The path the descriptor was opened by, for the journal.
std::string pathOf(int fd)
{
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link, target, sizeof target);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof target) || target[0] != '/')
        return {};
    return std::string(target, static_cast<std::size_t>(length));
}

FileKey keyOf(const struct stat &info)
{
    return { static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino) };
}

// Closes the descriptor on every way out that does not keep it.
class Closer
{
public:
    explicit Closer(int fd)
        : m_fd(fd)
    {
    }
    ~Closer()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Closer(const Closer &) = delete;
    Closer &operator=(const Closer &) = delete;
    int keep()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

} // namespace

LockTable::~LockTable()
{
    // A flag that cannot be cleared stays in the journal for the next start.
    for (auto &[key, file] : m_files) {
        if (FileFlags::setImmutable(file.fd, false) == 0)
            m_paths.erase(key);
        ::close(file.fd);
    }
    m_files.clear();
    m_journal.noteRelease({}, m_paths);
}

Result LockTable::lock(int fd, uid_t uid, Held &held, FileKey *key)
{
    Closer closer(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return Result::Unsupported;
    *key = keyOf(info);
    if (uid != 0 && info.st_uid != uid)
        return Result::NotOwner;
    if (held.count(*key))
        return Result::Protected;
    if (held.size() >= LockdProtocol::MaxLocksPerClient)
        return Result::TooManyLocks;
    const auto known = m_files.find(*key);
    if (known != m_files.end()) {
        ++known->second.holders;
        held.insert(*key);
        return Result::Protected;
    }
    switch (FileFlags::immutable(fd)) {
    case FileFlags::State::Unsupported:
        return Result::Unsupported;
    case FileFlags::State::Immutable:
        return Result::AlreadyImmutable;
    case FileFlags::State::Mutable:
        break;
    }
    const std::string path = pathOf(fd);
    if (path.empty() || !m_journal.noteLock(*key, path))
        return Result::Failed;
    m_paths[*key] = path;
    const int error = FileFlags::setImmutable(fd, true);
    if (error != 0) {
        m_paths.erase(*key);
        m_journal.noteRelease(*key, m_paths);
        return error == EPERM || error == ENOMEM ? Result::Failed : Result::Unsupported;
    }
    m_files[*key] = File { closer.keep(), 1 };
    held.insert(*key);
    return Result::Protected;
}

Result LockTable::unlock(int fd, Held &held, FileKey *key)
{
    Closer closer(fd);
    struct stat info;
    if (::fstat(fd, &info) != 0)
        return Result::NotLocked;
    *key = keyOf(info);
    if (held.erase(*key) == 0)
        return Result::NotLocked;
    release(*key);
    return Result::Protected;
}

void LockTable::releaseAll(Held &held)
{
    for (const FileKey &key : held)
        release(key);
    held.clear();
}

void LockTable::release(const FileKey &key)
{
    const auto found = m_files.find(key);
    if (found == m_files.end() || --found->second.holders > 0)
        return;
    const int error = FileFlags::setImmutable(found->second.fd, false);
    ::close(found->second.fd);
    m_files.erase(found);
    if (error != 0) {
        // Left in the journal: the next start tries again.
        std::fprintf(stderr, "keycrate-lockd: cannot clear the flag of %s: error %d\n",
                     m_paths[key].c_str(), error);
        return;
    }
    m_paths.erase(key);
    m_journal.noteRelease(key, m_paths);
}
