#include "SnapshotRestore.h"

#include "OwnFile.h"
#include "ProcessOwnedName.h"
#include "Sha256Digest.h"
#include "SnapshotContent.h"

#include <QByteArray>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int DirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

std::string nameOf(const std::string &path)
{
    return path.substr(path.rfind('/') + 1);
}

struct timespec timeOf(const SnapshotManifest::Entry &entry)
{
    struct timespec time;
    time.tv_sec = entry.mtimeSeconds;
    time.tv_nsec = entry.mtimeNanoseconds;
    return time;
}

bool writeAll(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= std::size_t(written);
    }
    return true;
}

const std::string TemporaryPrefix = ".quorvane-restore-";

// An event id from a manifest goes into a report: no byte of it may steer a
// terminal.
std::string printable(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '?';
    return out;
}

} // namespace

const char SnapshotRestore::NotOverwritten[] = "already there; not overwritten";

SnapshotRestore::Entries SnapshotRestore::choose(const SnapshotManifest &manifest,
                                                 const std::vector<std::string> &paths)
{
    Entries chosen;
    for (const SnapshotManifest::Entry &entry : manifest.entries) {
        bool take = paths.empty();
        for (const std::string &path : paths)
            take = take || entry.path == path
                || entry.path.compare(0, path.size() + 1, path + "/") == 0
                || (entry.type == SnapshotManifest::Type::Folder
                    && path.compare(0, entry.path.size() + 1, entry.path + "/") == 0);
        if (take)
            chosen.push_back(&entry);
    }
    return chosen;
}

std::vector<std::string> SnapshotRestore::contentEvents(const Entries &entries)
{
    std::vector<std::string> events;
    std::set<std::string> unique;
    for (const SnapshotManifest::Entry *entry : entries)
        if (entry->type == SnapshotManifest::Type::File && unique.insert(entry->event).second)
            events.push_back(entry->event);
    return events;
}

std::string SnapshotRestore::refusedTarget(int target)
{
    struct stat info;
    if (::fstat(target, &info) != 0)
        return std::strerror(errno);
    // A folder of root's is no other user's to read or change.
    if (info.st_uid != ::getuid() && info.st_uid != 0)
        return "it belongs to another user; restore into a folder of yours";
    return std::string();
}

SnapshotRestore::SnapshotRestore(int target, const SnapshotContent &content, Reporter report)
    : m_root(target)
    , m_content(content)
    , m_report(std::move(report))
{
}

SnapshotRestore::~SnapshotRestore()
{
    closeParent();
}

int SnapshotRestore::openParent(const std::string &path)
{
    const std::size_t last = path.rfind('/');
    const std::string folder = last == std::string::npos ? std::string() : path.substr(0, last);
    // Entries come folder by folder: the folder of the last one is opened
    // once, not again component by component for each of its files.
    if (m_parent >= 0 && folder == m_parentPath)
        return m_parent;
    closeParent();
    int fd = ::fcntl(m_root, F_DUPFD_CLOEXEC, 0);
    std::size_t start = 0;
    std::size_t slash;
    std::string foreign;
    while (fd >= 0 && (slash = path.find('/', start)) != std::string::npos) {
        const std::string name = path.substr(start, slash - start);
        const int next = ::openat(fd, name.c_str(), DirectoryFlags);
        ::close(fd);
        fd = next;
        start = slash + 1;
        // A folder another user made in DIR: they could read or swap what
        // lands in it, as in a DIR of theirs.
        if (fd >= 0 && !(foreign = refusedTarget(fd)).empty()) {
            ::close(fd);
            m_report(path, "its folder " + path.substr(0, slash) + ": " + foreign);
            return -1;
        }
    }
    if (fd < 0) {
        m_report(path,
                 std::string("its folder cannot be opened (a link or no folder?): ")
                     + std::strerror(errno));
        return -1;
    }
    m_parent = fd;
    m_parentPath = folder;
    return fd;
}

void SnapshotRestore::closeParent()
{
    if (m_parent >= 0)
        ::close(m_parent);
    m_parent = -1;
}

bool SnapshotRestore::mayReplace(int parent, const std::string &name, const std::string &path,
                                 bool folder)
{
    struct stat info;
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    if (folder && S_ISDIR(info.st_mode))
        return true;
    if (S_ISDIR(info.st_mode)) {
        m_report(path, "a folder is in its place; not replaced");
        return false;
    }
    if (!m_overwrite) {
        m_report(path, NotOverwritten);
        return false;
    }
    if (folder && ::unlinkat(parent, name.c_str(), 0) != 0) {
        m_report(path, std::strerror(errno));
        return false;
    }
    return true;
}

bool SnapshotRestore::restoreFolder(const SnapshotManifest::Entry &entry)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return false;
    const std::string name = nameOf(entry.path);
    bool made = mayReplace(parent, name, entry.path, true);
    // Owner access while it fills; its own mode comes at the end.
    if (made && ::mkdirat(parent, name.c_str(), 0700) != 0) {
        if (errno != EEXIST) {
            m_report(entry.path, std::strerror(errno));
            made = false;
        } else {
            // A folder made by an earlier restore may hold what a killed one left.
            const int fd = ::openat(parent, name.c_str(), DirectoryFlags);
            if (fd >= 0) {
                sweep(fd);
                ::close(fd);
            }
        }
    }
    return made;
}

void SnapshotRestore::sweep(int folder)
{
    // A description of its own: the listing closes it.
    const int fd = ::openat(folder, ".", DirectoryFlags);
    DIR *listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0)
            ::close(fd);
        return;
    }
    struct stat info;
    while (const dirent *entry = ::readdir(listing))
        if (ProcessOwnedName::leftBehind(entry->d_name, TemporaryPrefix)
            && ::fstatat(folder, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(info.st_mode))
            ::unlinkat(folder, entry->d_name, 0);
    ::closedir(listing);
}

bool SnapshotRestore::restoreFile(const SnapshotManifest::Entry &entry, const std::string &source,
                                  bool take)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return false;
    bool restored = false;
    std::string problem;
    const int in = Platform::OwnFile::open(source, O_RDONLY, &problem);
    if (in < 0) {
        m_report(entry.path,
                 errno == ENOENT ? std::string("its content was not fetched from the server")
                                 : "its content cannot be read: " + problem);
    } else if (mayReplace(parent, nameOf(entry.path), entry.path, false)) {
        bool failed = false;
        restored = take && entry.offset < 0 && moveFile(entry, parent, in, source, &failed);
        if (!restored && !failed)
            restored = copyFile(entry, parent, in);
    }
    if (in >= 0)
        ::close(in);
    return restored;
}

bool SnapshotRestore::copyFile(const SnapshotManifest::Entry &entry, int parent, int in)
{
    bool restored = false;
    std::string temporary;
    const int out = createTemporary(parent, &temporary);
    if (out < 0) {
        m_report(entry.path, std::strerror(errno));
    } else {
        Sha256Digest hash;
        // Not a mebibyte zeroed for each of many small files.
        std::vector<char> buffer(std::size_t(std::clamp<std::int64_t>(entry.size, 4096, 1 << 20)));
        // A packed file is its size in bytes from its offset on.
        std::int64_t left = entry.offset >= 0 ? entry.size : INT64_MAX;
        bool ok = entry.offset < 0 || ::lseek(in, entry.offset, SEEK_SET) == entry.offset;
        ssize_t got;
        while (ok && left > 0
               && (got = ::read(in, buffer.data(),
                                std::size_t(std::min<std::int64_t>(left, buffer.size()))))
                   != 0) {
            if (got < 0 && errno == EINTR)
                continue;
            ok = got > 0 && writeAll(out, buffer.data(), std::size_t(got));
            if (ok) {
                hash.add(buffer.data(), std::size_t(got));
                left -= got;
            }
        }
        const struct timespec times[2] = { timeOf(entry), timeOf(entry) };
        ok = ok && ::fchmod(out, entry.mode) == 0 && ::futimens(out, times) == 0;
        ok = ::close(out) == 0 && ok;
        const bool right = hash.hex() == entry.sha256;
        if (!ok)
            m_report(entry.path, std::string("cannot be written: ") + std::strerror(errno));
        else if (!right)
            m_report(entry.path, "its content does not match its SHA-256; not restored");
        else
            restored = place(entry, parent, temporary);
        if (!restored)
            ::unlinkat(parent, temporary.c_str(), 0);
    }
    return restored;
}

int SnapshotRestore::createTemporary(int parent, std::string *name)
{
    int out = -1;
    for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
        *name = ProcessOwnedName::make(TemporaryPrefix, unsigned(attempt));
        out = ::openat(parent, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                       0600);
        if (out < 0 && errno != EEXIST)
            break;
    }
    return out;
}

bool SnapshotRestore::moveFile(const SnapshotManifest::Entry &entry, int parent, int in,
                               const std::string &source, bool *failed)
{
    struct stat from;
    struct stat into;
    // A copy with other names in the store would stay tied to them: copied.
    if (::fstat(in, &from) != 0 || !S_ISREG(from.st_mode) || from.st_nlink != 1
        || ::fstat(parent, &into) != 0 || from.st_dev != into.st_dev)
        return false;
    *failed = true;
    // Checked where it lies, read only: a wrong file never reaches the folder.
    // The fetch hashed what it wrote; only a file it did not vouch for is read.
    const std::string confirmed = m_content.confirmedSha256(in);
    Sha256Digest hash;
    std::vector<char> buffer;
    if (confirmed.empty() || from.st_size != entry.size)
        buffer.resize(std::size_t(std::clamp<std::int64_t>(entry.size, 4096, 1 << 20)));
    ssize_t got;
    while (!buffer.empty() && (got = ::read(in, buffer.data(), buffer.size())) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            m_report(entry.path, std::string("cannot be read: ") + std::strerror(errno));
            return false;
        }
        hash.add(buffer.data(), std::size_t(got));
    }
    if ((buffer.empty() ? confirmed : hash.hex()) != entry.sha256) {
        m_report(entry.path, "its content does not match its SHA-256; not restored");
        return false;
    }
    std::string temporary;
    int moved = -1;
    for (int attempt = 0; moved != 0 && attempt < 100; ++attempt) {
        temporary = ProcessOwnedName::make(TemporaryPrefix, unsigned(attempt));
        moved = ::renameat2(AT_FDCWD, source.c_str(), parent, temporary.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && errno != EEXIST)
            break;
    }
    if (moved != 0) {
        // Another mount of the same file system: copied after all.
        if (errno == EXDEV || errno == EINVAL) {
            *failed = ::lseek(in, 0, SEEK_SET) != 0;
            if (!*failed)
                return false;
        }
        m_report(entry.path, std::strerror(errno));
        return false;
    }
    struct stat there;
    const struct timespec times[2] = { timeOf(entry), timeOf(entry) };
    bool restored = false;
    // What was checked is what was moved, or nothing stays.
    if (::fstatat(parent, temporary.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0
        || there.st_dev != from.st_dev || there.st_ino != from.st_ino)
        m_report(entry.path, "its content changed while it was checked; not restored");
    else if (::fchmod(in, entry.mode) != 0 || ::futimens(in, times) != 0)
        m_report(entry.path, std::string("cannot be written: ") + std::strerror(errno));
    else
        restored = place(entry, parent, temporary);
    if (!restored)
        ::unlinkat(parent, temporary.c_str(), 0);
    return restored;
}

bool SnapshotRestore::place(const SnapshotManifest::Entry &entry, int parent,
                            const std::string &temporary)
{
    const std::string name = nameOf(entry.path);
    // Without overwriting, a file that appeared since it was looked for stays.
    int placed = ::renameat2(parent, temporary.c_str(), parent, name.c_str(),
                             m_overwrite ? 0 : RENAME_NOREPLACE);
    if (placed != 0 && errno == EINVAL && !m_overwrite)
        placed = ::renameat(parent, temporary.c_str(), parent, name.c_str());
    if (placed == 0)
        return true;
    m_report(entry.path, errno == EEXIST ? std::string(NotOverwritten) : std::strerror(errno));
    return false;
}

bool SnapshotRestore::restoreLink(const SnapshotManifest::Entry &entry)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return false;
    const std::string name = nameOf(entry.path);
    bool restored = false;
    if (mayReplace(parent, name, entry.path, false)) {
        if (m_overwrite)
            ::unlinkat(parent, name.c_str(), 0);
        const struct timespec times[2] = { timeOf(entry), timeOf(entry) };
        if (::symlinkat(entry.target.c_str(), parent, name.c_str()) != 0)
            m_report(entry.path, std::strerror(errno));
        else if (::utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            m_report(entry.path, std::string("its time cannot be set: ") + std::strerror(errno));
        else
            restored = true;
    }
    return restored;
}

void SnapshotRestore::finishFolder(const SnapshotManifest::Entry &entry)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return;
    const int fd = ::openat(parent, nameOf(entry.path).c_str(), DirectoryFlags);
    if (fd < 0)
        return;
    const struct timespec times[2] = { timeOf(entry), timeOf(entry) };
    if (::fchmod(fd, entry.mode) != 0 || ::futimens(fd, times) != 0)
        m_report(entry.path,
                 std::string("its mode or time cannot be set: ") + std::strerror(errno));
    ::close(fd);
}

int SnapshotRestore::restore(const Entries &entries)
{
    int restored = 0;
    std::size_t done = 0;
    std::set<std::string> folders;
    // An event that holds several entries' bytes stays for the next of them.
    std::map<std::string, int> uses;
    sweep(m_root);
    for (const SnapshotManifest::Entry *entry : entries)
        if (entry->type == SnapshotManifest::Type::File)
            ++uses[entry->event];
    for (const SnapshotManifest::Entry *entry : entries) {
        if (m_progress)
            m_progress(done++, entries.size());
        const std::string parent = entry->path.substr(0, entry->path.rfind('/') + 1);
        // Below a folder that could not be made nothing is written.
        if (!parent.empty() && !folders.count(parent.substr(0, parent.size() - 1))) {
            m_report(entry->path, "not restored: its folder is not");
            continue;
        }
        bool made = false;
        if (entry->type == SnapshotManifest::Type::Folder) {
            made = restoreFolder(*entry);
            if (made)
                folders.insert(entry->path);
        } else if (entry->type == SnapshotManifest::Type::File) {
            const std::string source = m_content.fileOf(entry->event);
            if (!source.empty())
                made = restoreFile(*entry, source,
                                   uses[entry->event] == 1 && m_content.mayTake(entry->event));
            else
                m_report(entry->path,
                         "its content event " + printable(entry->event) + " is not on the server");
        } else {
            made = restoreLink(*entry);
        }
        restored += made ? 1 : 0;
    }
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry)
        if ((*entry)->type == SnapshotManifest::Type::Folder && folders.count((*entry)->path))
            finishFolder(**entry);
    closeParent();
    if (m_progress)
        m_progress(entries.size(), entries.size());
    return restored;
}
