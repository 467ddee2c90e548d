#include "RestoreCommand.h"

#include "CommandLine.h"
#include "RecordFormat.h"
#include "Session.h"
#include "Sha256Digest.h"
#include "SnapshotCatalog.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

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

} // namespace

RestoreCommand::RestoreCommand(const CommandLine &line, Session &session, std::ostream &out,
                               std::ostream &err)
    : m_line(line)
    , m_session(session)
    , m_out(out)
    , m_err(err)
{
}

void RestoreCommand::report(const std::string &path, const std::string &reason)
{
    m_err << "quorvane: " << RecordFormat::escaped(path) << ": " << reason << '\n';
    ++m_failed;
}

int RestoreCommand::openParent(const std::string &path)
{
    int fd = ::fcntl(m_root, F_DUPFD_CLOEXEC, 0);
    std::size_t start = 0;
    std::size_t slash;
    while (fd >= 0 && (slash = path.find('/', start)) != std::string::npos) {
        const std::string name = path.substr(start, slash - start);
        const int next = ::openat(fd, name.c_str(), DirectoryFlags);
        ::close(fd);
        fd = next;
        start = slash + 1;
    }
    if (fd < 0)
        report(path,
               std::string("its folder cannot be opened (a link or no folder?): ")
                   + std::strerror(errno));
    return fd;
}

bool RestoreCommand::mayReplace(int parent, const std::string &name, const std::string &path,
                                bool folder)
{
    struct stat info;
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    if (folder && S_ISDIR(info.st_mode))
        return true;
    if (S_ISDIR(info.st_mode)) {
        report(path, "a folder is in its place; not replaced");
        return false;
    }
    if (!m_overwrite) {
        report(path, "already there; not overwritten (see --overwrite)");
        return false;
    }
    if (folder && ::unlinkat(parent, name.c_str(), 0) != 0) {
        report(path, std::strerror(errno));
        return false;
    }
    return true;
}

bool RestoreCommand::restoreFolder(const SnapshotManifest::Entry &entry)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return false;
    const std::string name = nameOf(entry.path);
    bool made = mayReplace(parent, name, entry.path, true);
    // Owner access while it fills; its own mode comes at the end.
    if (made && ::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) {
        report(entry.path, std::strerror(errno));
        made = false;
    }
    ::close(parent);
    return made;
}

bool RestoreCommand::restoreFile(const SnapshotManifest::Entry &entry, const std::string &source)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return false;
    const std::string name = nameOf(entry.path);
    bool restored = false;
    const int in = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        report(entry.path, "its content was not fetched from the server");
    } else if (mayReplace(parent, name, entry.path, false)) {
        std::string temporary;
        int out = -1;
        for (int attempt = 0; out < 0 && attempt < 100; ++attempt) {
            temporary
                = ".quorvane-restore-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            out = ::openat(parent, temporary.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (out < 0 && errno != EEXIST)
                break;
        }
        if (out < 0) {
            report(entry.path, std::strerror(errno));
        } else {
            Sha256Digest hash;
            // Not a mebibyte zeroed for each of many small files.
            std::vector<char> buffer(
                std::size_t(std::clamp<std::int64_t>(entry.size, 4096, 1 << 20)));
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
                report(entry.path, std::string("cannot be written: ") + std::strerror(errno));
            else if (!right)
                report(entry.path, "its content does not match its SHA-256; not restored");
            else if (::renameat(parent, temporary.c_str(), parent, name.c_str()) != 0)
                report(entry.path, std::strerror(errno));
            else
                restored = true;
            if (!restored)
                ::unlinkat(parent, temporary.c_str(), 0);
        }
    }
    if (in >= 0)
        ::close(in);
    ::close(parent);
    return restored;
}

bool RestoreCommand::restoreLink(const SnapshotManifest::Entry &entry)
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
            report(entry.path, std::strerror(errno));
        else if (::utimensat(parent, name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
            report(entry.path, std::string("its time cannot be set: ") + std::strerror(errno));
        else
            restored = true;
    }
    ::close(parent);
    return restored;
}

void RestoreCommand::finishFolder(const SnapshotManifest::Entry &entry)
{
    const int parent = openParent(entry.path);
    if (parent < 0)
        return;
    const int fd = ::openat(parent, nameOf(entry.path).c_str(), DirectoryFlags);
    ::close(parent);
    if (fd < 0)
        return;
    const struct timespec times[2] = { timeOf(entry), timeOf(entry) };
    if (::fchmod(fd, entry.mode) != 0 || ::futimens(fd, times) != 0)
        report(entry.path, std::string("its mode or time cannot be set: ") + std::strerror(errno));
    ::close(fd);
}

int RestoreCommand::run()
{
    if (!m_line.has("to")) {
        m_err << "quorvane restore: --to DIR is needed\nTry quorvane restore --help\n";
        return 1;
    }
    m_overwrite = m_line.has("overwrite");
    SnapshotCatalog catalog(m_session, m_err);
    int code = catalog.read();
    if (code != 0)
        return m_session.fail("cannot read the server's events", code, true);
    std::vector<std::string> paths = m_line.arguments();
    std::string given;
    // A first argument that names a snapshot is no path.
    if (!paths.empty() && (paths.front() == "latest" || catalog.snapshot(paths.front()))) {
        given = paths.front();
        paths.erase(paths.begin());
    }
    const EventRecord *snapshot = catalog.snapshot(given);
    if (!snapshot) {
        m_err << "quorvane: "
              << (given.empty() || given == "latest"
                      ? std::string("there is no snapshot on the server")
                      : "no snapshot, or more than one, is " + RecordFormat::printable(given))
              << '\n';
        return Quorvane::Failure;
    }
    SnapshotManifest manifest;
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    if (!catalog.manifest(*snapshot, &manifest, &refused, &error)) {
        m_err << "quorvane: the snapshot " << RecordFormat::printable(snapshot->id) << ": " << error
              << '\n';
        return Quorvane::Failure;
    }
    for (const SnapshotManifest::Refusal &refusal : refused)
        report("line " + std::to_string(refusal.line) + " (" + refusal.path + ")",
               "refused: " + refusal.reason);

    // PATH: as in the snapshot ("Documents/a.txt") or where it was backed up.
    std::vector<std::string> wanted;
    for (const std::string &path : paths) {
        std::string relative = path;
        std::error_code failure;
        const std::string absolute = fs::absolute(path, failure).lexically_normal().string();
        for (const std::string &root : manifest.roots)
            if (absolute == root || absolute.compare(0, root.size() + 1, root + "/") == 0)
                relative = SnapshotManifest::rootName(root) + absolute.substr(root.size());
        while (relative.size() > 1 && relative.back() == '/')
            relative.pop_back();
        wanted.push_back(relative);
    }
    std::vector<const SnapshotManifest::Entry *> chosen;
    for (const SnapshotManifest::Entry &entry : manifest.entries) {
        bool take = wanted.empty();
        for (const std::string &path : wanted)
            take = take || entry.path == path
                || entry.path.compare(0, path.size() + 1, path + "/") == 0
                || (entry.type == SnapshotManifest::Type::Folder
                    && path.compare(0, entry.path.size() + 1, entry.path + "/") == 0);
        if (take)
            chosen.push_back(&entry);
    }
    if (!wanted.empty() && chosen.empty()) {
        m_err << "quorvane: the snapshot holds none of the paths given\n";
        return Quorvane::Failure;
    }

    const std::string to = m_line.value("to");
    if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) {
        m_err << "quorvane: cannot make " << RecordFormat::escaped(to) << ": "
              << std::strerror(errno) << '\n';
        return Quorvane::Failure;
    }
    m_root = ::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_root < 0) {
        m_err << "quorvane: cannot open " << RecordFormat::escaped(to) << ": "
              << std::strerror(errno) << '\n';
        return Quorvane::Failure;
    }
    std::vector<std::string> ids;
    std::set<std::string> unique;
    for (const SnapshotManifest::Entry *entry : chosen) {
        if (entry->type != SnapshotManifest::Type::File || !unique.insert(entry->event).second)
            continue;
        // A content that is gone costs its files, not the whole restore.
        const EventRecord *content = catalog.find(entry->event);
        if (content && (content->location == 1 || content->location == 2))
            ids.push_back(entry->event);
    }
    std::map<std::string, std::string> files;
    code = ids.empty() ? 0 : catalog.fetch(ids, &files);
    if (code != 0) {
        ::close(m_root);
        return code;
    }

    int restored = 0;
    std::set<std::string> folders;
    for (const SnapshotManifest::Entry *entry : chosen) {
        const std::string parent = entry->path.substr(0, entry->path.rfind('/') + 1);
        // Below a folder that could not be made nothing is written.
        if (!parent.empty() && !folders.count(parent.substr(0, parent.size() - 1))) {
            report(entry->path, "not restored: its folder is not");
            continue;
        }
        bool done = false;
        if (entry->type == SnapshotManifest::Type::Folder) {
            done = restoreFolder(*entry);
            if (done)
                folders.insert(entry->path);
        } else if (entry->type == SnapshotManifest::Type::File) {
            if (files.count(entry->event))
                done = restoreFile(*entry, files[entry->event]);
            else
                report(entry->path,
                       "its content event " + RecordFormat::printable(entry->event)
                           + " is not on the server");
        } else {
            done = restoreLink(*entry);
        }
        restored += done ? 1 : 0;
    }
    for (auto entry = chosen.rbegin(); entry != chosen.rend(); ++entry)
        if ((*entry)->type == SnapshotManifest::Type::Folder && folders.count((*entry)->path))
            finishFolder(**entry);
    ::close(m_root);
    m_out << "restored " << restored << " of " << chosen.size() << " entries of "
          << RecordFormat::escaped(snapshot->id) << " to " << RecordFormat::escaped(to)
          << ", failed " << m_failed << '\n';
    return m_failed == 0 ? 0 : int(Quorvane::Failure);
}
