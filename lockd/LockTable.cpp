#include "LockTable.h"

#include "FileFlags.h"
#include "FileSystems.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/resource.h>
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

} // namespace

std::size_t LockTable::roomForDescriptorLimit()
{
    // Kept free: connections, the descriptors of a turn's requests (256 a
    // client) and the journal.
    constexpr rlim_t Reserve = 1024;
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return LockdProtocol::MaxLocksPerClient;
    return limit.rlim_cur > 2 * Reserve ? limit.rlim_cur - Reserve : limit.rlim_cur / 2;
}

LockTable::~LockTable()
{
    // A flag that cannot be cleared stays in the journal for the next start.
    for (auto &[key, file] : m_files) {
        if (FileFlags::setImmutable(file.fd, false) == 0)
            m_paths.erase(key);
        ::close(file.fd);
    }
    m_files.clear();
    m_journal.noteReleases({ FileKey {} }, m_paths);
}

Result LockTable::check(Job &job, uid_t uid, Held &held, std::string *path)
{
    if (uid != 0 && job.owner != uid)
        return Result::NotOwner;
    if (!m_fileSystems.keepsFlag(job.fd, job.key.device))
        return Result::Unsupported;
    if (held.count(job.key))
        return Result::Protected;
    if (held.size() >= LockdProtocol::MaxLocksPerClient)
        return Result::TooManyLocks;
    const auto known = m_files.find(job.key);
    if (known != m_files.end()) {
        ++known->second.holders;
        held.insert(job.key);
        return Result::Protected;
    }
    switch (FileFlags::immutable(job.fd, &job.flags)) {
    case FileFlags::State::Unsupported:
        return Result::Unsupported;
    case FileFlags::State::Immutable:
        return Result::AlreadyImmutable;
    case FileFlags::State::Mutable:
        break;
    }
    // A file not held yet needs a descriptor of its own.
    if (m_files.size() >= m_room)
        return Result::Failed;
    *path = pathOf(job.fd);
    return path->empty() ? Result::Failed : Result::Protected;
}

void LockTable::lock(std::vector<Job> &jobs, uid_t uid, Held &held)
{
    // Files whose flag is to be set, noted in the journal first, all at once.
    LockJournal::Entries fresh;
    std::vector<Job *> toSet;
    for (Job &job : jobs) {
        std::string path;
        job.result = check(job, uid, held, &path);
        if (path.empty() || job.result != Result::Protected)
            continue;
        // The same file twice in one batch is set once.
        if (fresh.count(job.key))
            continue;
        if (held.size() + fresh.size() >= LockdProtocol::MaxLocksPerClient) {
            job.result = Result::TooManyLocks;
            continue;
        }
        if (m_files.size() + fresh.size() >= m_room) {
            job.result = Result::Failed;
            continue;
        }
        fresh.emplace(job.key, path);
        toSet.push_back(&job);
    }
    const bool noted = fresh.empty() || m_journal.noteLocks(fresh);
    std::map<FileKey, Result> setResults;
    for (Job *job : toSet) {
        const int error = noted ? FileFlags::addImmutable(job->fd, job->flags) : ENOSPC;
        if (error != 0) {
            job->result = error == EPERM || error == ENOSPC || error == ENOMEM
                ? Result::Failed
                : Result::Unsupported;
            setResults[job->key] = job->result;
            continue;
        }
        m_paths[job->key] = fresh[job->key];
        m_files[job->key] = File { job->fd, 0 };
        job->fd = -1; // kept
    }
    for (Job &job : jobs) {
        if (job.result != Result::Protected || held.count(job.key))
            continue;
        const auto file = m_files.find(job.key);
        if (file == m_files.end()) {
            // The same file earlier in the batch could not be locked.
            job.result = setResults.count(job.key) ? setResults[job.key] : Result::Failed;
            continue;
        }
        ++file->second.holders;
        held.insert(job.key);
    }
    for (Job &job : jobs) {
        if (job.fd >= 0)
            ::close(job.fd);
        job.fd = -1;
    }
    // Noted but not set: not ours to clear at the next start.
    std::vector<FileKey> unset;
    for (const auto &[key, path] : fresh)
        if (!m_files.count(key))
            unset.push_back(key);
    m_journal.noteReleases(unset, m_paths);
}

Result LockTable::unlock(int fd, Held &held, FileKey *key)
{
    struct stat info;
    const bool statted = FileSystems::cachedStat(fd, &info);
    ::close(fd);
    if (!statted)
        return Result::NotLocked;
    *key = keyOf(info);
    if (held.erase(*key) == 0)
        return Result::NotLocked;
    if (release(*key))
        m_journal.noteReleases({ *key }, m_paths);
    return Result::Protected;
}

void LockTable::releaseAll(Held &held)
{
    std::vector<FileKey> cleared;
    for (const FileKey &key : held)
        if (release(key))
            cleared.push_back(key);
    held.clear();
    m_journal.noteReleases(cleared, m_paths);
}

bool LockTable::release(const FileKey &key)
{
    const auto found = m_files.find(key);
    if (found == m_files.end() || --found->second.holders > 0)
        return false;
    const int error = FileFlags::setImmutable(found->second.fd, false);
    ::close(found->second.fd);
    m_files.erase(found);
    if (error != 0) {
        // Left in the journal: the next start tries again.
        std::fprintf(stderr, "keycrate-lockd: cannot clear the flag of %s: error %d\n",
                     m_paths[key].c_str(), error);
        return false;
    }
    m_paths.erase(key);
    return true;
}
