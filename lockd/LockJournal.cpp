#include "LockJournal.h"

#include "FileFlags.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Above this size the journal is written anew with only what is held.
constexpr long long CompactAbove = 4 * 1024 * 1024;

int openRetrying(const char *path, int flags, mode_t mode = 0)
{
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool writeAll(int fd, const std::string &data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

void syncFolder(const std::string &folder)
{
    const int fd = openRetrying(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string lockRecord(const FileKey &key, const std::string &path)
{
    return "+ " + std::to_string(key.device) + ' ' + std::to_string(key.inode) + ' '
        + std::to_string(path.size()) + ' ' + path + '\n';
}

// Reads a decimal number followed by one separator; false on anything else.
bool number(const std::string &text, std::size_t *at, char separator, std::uint64_t *value)
{
    const char *begin = text.data() + *at;
    const char *end = text.data() + text.size();
    const auto [next, error] = std::from_chars(begin, end, *value);
    if (error != std::errc() || next == begin || next == end || *next != separator)
        return false;
    *at = static_cast<std::size_t>(next - text.data()) + 1;
    return true;
}

// The path names the very file of key, which is still a regular file: only
// then is its flag ours to clear.
bool clearLeftover(const FileKey &key, const std::string &path)
{
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    const int fd
        = openRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool cleared = false;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_dev == key.device
        && info.st_ino == key.inode)
        cleared = FileFlags::setImmutable(fd, false) == 0;
    ::close(fd);
    return cleared;
}

} // namespace

LockJournal::~LockJournal()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool LockJournal::open(const std::string &folder)
{
    m_path = folder + "/locks.journal";
    m_fd = openRetrying(m_path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (m_fd < 0)
        return false;
    syncFolder(folder);
    struct stat info;
    m_size = ::fstat(m_fd, &info) == 0 ? info.st_size : 0;
    return true;
}

LockJournal::Entries LockJournal::parse(const std::string &text)
{
    Entries held;
    std::size_t at = 0;
    while (at + 2 <= text.size()) {
        const char kind = text[at];
        if ((kind != '+' && kind != '-') || text[at + 1] != ' ')
            break;
        at += 2;
        FileKey key;
        if (kind == '-') {
            if (!number(text, &at, ' ', &key.device) || !number(text, &at, '\n', &key.inode))
                break;
            held.erase(key);
            continue;
        }
        std::uint64_t length = 0;
        if (!number(text, &at, ' ', &key.device) || !number(text, &at, ' ', &key.inode)
            || !number(text, &at, ' ', &length))
            break;
        if (length >= text.size() - at || text[at + length] != '\n')
            break;
        held[key] = text.substr(at, length);
        at += length + 1;
    }
    return held;
}

int LockJournal::releaseLeftovers()
{
    std::string text;
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t got = ::pread(m_fd, buffer, sizeof buffer, offset);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
    int cleared = 0;
    for (const auto &[key, path] : parse(text)) {
        if (clearLeftover(key, path))
            ++cleared;
        else
            std::fprintf(stderr, "keycrate-lockd: left %s as it is: no longer the file locked\n",
                         path.c_str());
    }
    rewrite({});
    return cleared;
}

bool LockJournal::noteLocks(const Entries &entries)
{
    std::string records;
    for (const auto &[key, path] : entries)
        records += lockRecord(key, path);
    return append(records, true);
}

void LockJournal::noteReleases(const std::vector<FileKey> &keys, const Entries &stillHeld)
{
    if (keys.empty())
        return;
    if (stillHeld.empty() || m_size > CompactAbove + 2 * m_rewrittenSize) {
        rewrite(stillHeld);
        return;
    }
    std::string records;
    for (const FileKey &key : keys)
        records += "- " + std::to_string(key.device) + ' ' + std::to_string(key.inode) + '\n';
    append(records, false);
}

bool LockJournal::append(const std::string &record, bool sync)
{
    if (m_fd < 0)
        return false;
    if (!writeAll(m_fd, record)) {
        // A torn record would hide every later one: cut it off.
        if (::ftruncate(m_fd, m_size) != 0)
            std::fprintf(stderr, "keycrate-lockd: cannot mend the journal %s\n", m_path.c_str());
        return false;
    }
    m_size += static_cast<long long>(record.size());
    return !sync || ::fdatasync(m_fd) == 0;
}

// Writes the journal anew beside it and renames it into place, so a crash
// leaves either the old or the new one whole.
void LockJournal::rewrite(const Entries &entries)
{
    std::string text;
    for (const auto &[key, path] : entries)
        text += lockRecord(key, path);
    const std::string fresh = m_path + ".new";
    const int fd
        = openRetrying(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || !writeAll(fd, text) || ::fsync(fd) != 0
        || ::rename(fresh.c_str(), m_path.c_str()) != 0) {
        std::fprintf(stderr, "keycrate-lockd: cannot rewrite the journal %s\n", m_path.c_str());
        if (fd >= 0)
            ::close(fd);
        ::unlink(fresh.c_str());
        return;
    }
    ::close(m_fd);
    m_fd = openRetrying(m_path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    m_size = static_cast<long long>(text.size());
    m_rewrittenSize = m_size;
    ::close(fd);
    const std::size_t slash = m_path.rfind('/');
    syncFolder(slash == std::string::npos ? "." : m_path.substr(0, slash));
}
