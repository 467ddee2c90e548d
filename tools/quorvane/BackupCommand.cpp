#include "BackupCommand.h"

#include "CommandLine.h"
#include "EventCommands.h"
#include "Progress.h"
#include "RecordFormat.h"
#include "ScratchFolder.h"
#include "ServerProbe.h"
#include "Session.h"
#include "SharedSettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// What keycrate's upload sends: the server only, seen by the owner.
constexpr int KindServerFile = 4;
constexpr int AccessOwner = 1;

} // namespace

BackupCommand::BackupCommand(const CommandLine &line, Session &session, Progress &progress,
                             std::ostream &out, std::ostream &err)
    : m_line(line)
    , m_session(session)
    , m_progress(progress)
    , m_out(out)
    , m_err(err)
{
}

void BackupCommand::refuse(const std::string &path, const std::string &reason, int *failed)
{
    m_err << "quorvane: " << RecordFormat::escaped(path) << ": " << reason << '\n';
    ++*failed;
}

// One path as it is, links not followed: a file to send, a folder to walk, or
// a failure with its reason.
void BackupCommand::take(const std::string &path, std::vector<File> *files,
                         std::vector<std::string> *folders, int *failed)
{
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) {
        refuse(path, errno == ENOENT ? std::string("no such file or folder") : std::strerror(errno),
               failed);
    } else if (S_ISDIR(info.st_mode)) {
        folders->push_back(path);
    } else if (S_ISLNK(info.st_mode)) {
        refuse(path, "a symbolic link, not followed", failed);
    } else if (!S_ISREG(info.st_mode)) {
        refuse(path, "not a regular file or folder (a pipe, socket or device)", failed);
    } else {
        // Without blocking and without a link planted since: only readable
        // files are sent.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            refuse(path, std::strerror(errno), failed);
            return;
        }
        ::close(fd);
        files->push_back({ path, std::int64_t(info.st_size) });
    }
}

std::vector<BackupCommand::File> BackupCommand::collect(int *failed)
{
    std::vector<File> files;
    std::vector<std::string> folders;
    for (const std::string &argument : m_line.arguments()) {
        std::error_code error;
        const fs::path absolute = fs::absolute(argument, error).lexically_normal();
        std::string path = error ? argument : absolute.string();
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        take(path, &files, &folders, failed);
        while (!folders.empty()) {
            const std::string folder = folders.back();
            folders.pop_back();
            DIR *listing = ::opendir(folder.c_str());
            if (!listing) {
                refuse(folder, std::strerror(errno), failed);
                continue;
            }
            errno = 0;
            while (const dirent *entry = ::readdir(listing)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..")
                    take(folder == "/" ? "/" + name : folder + "/" + name, &files, &folders,
                         failed);
                errno = 0;
            }
            if (errno != 0)
                refuse(folder, std::strerror(errno), failed);
            ::closedir(listing);
        }
    }
    std::sort(files.begin(), files.end(),
              [](const File &a, const File &b) { return a.path < b.path; });
    files.erase(std::unique(files.begin(), files.end(),
                            [](const File &a, const File &b) { return a.path == b.path; }),
                files.end());
    return files;
}

bool BackupCommand::stage(const File &file, Staged *staged, std::string *reason)
{
    // System files give their size as 0 (or a page) whatever they hold, so
    // small files are read to their end first; larger ones are checked after.
    constexpr std::int64_t ReadFirst = 64 * 1024;
    constexpr std::size_t ReadAtMost = 16 * 1024 * 1024;
    staged->fd = ::open(file.path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    struct stat info;
    if (staged->fd < 0 || ::fstat(staged->fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *reason = staged->fd < 0 ? std::strerror(errno) : "no longer a regular file";
        return false;
    }
    staged->path = file.path;
    staged->size = info.st_size;
    std::string bytes;
    bool snapshot = false;
    if (info.st_size <= ReadFirst) {
        char block[65536];
        ssize_t got;
        while ((got = ::read(staged->fd, block, sizeof block)) > 0 && bytes.size() <= ReadAtMost)
            bytes.append(block, std::size_t(got));
        if (got < 0) {
            *reason = std::strerror(errno);
            return false;
        }
        if (bytes.size() > ReadAtMost) {
            *reason = "its size is given as " + std::to_string(info.st_size)
                + " bytes but it holds more than 16 MiB; not sent";
            return false;
        }
        snapshot = std::int64_t(bytes.size()) != info.st_size;
        staged->size = std::int64_t(bytes.size());
    }
    const std::string fileName = file.path.substr(file.path.rfind('/') + 1);
    const bool storable = RecordFormat::isStorable(fileName);
    if (!snapshot && storable)
        return true;

    if (m_standIns.empty()) {
        const std::string folder = ScratchFolder::make();
        if (folder.empty()) {
            *reason = std::string("cannot make a private folder to send it from: ")
                + std::strerror(errno);
            return false;
        }
        m_standIns = folder;
    }
    // The same name, or its bytes escaped into printable UTF-8, is what the
    // server keeps.
    staged->standIn = m_standIns + '/' + (storable ? fileName : RecordFormat::escaped(fileName));
    bool made;
    staged->copied = snapshot;
    if (snapshot) {
        const int out = ::open(staged->standIn.c_str(),
                               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        made = out >= 0 && ::write(out, bytes.data(), bytes.size()) == ssize_t(bytes.size());
        if (out >= 0 && ::close(out) != 0)
            made = false;
    } else {
        made = ::symlink(file.path.c_str(), staged->standIn.c_str()) == 0;
    }
    if (!made) {
        *reason = std::string("cannot make the copy to send it from: ") + std::strerror(errno);
        ::unlink(staged->standIn.c_str());
        staged->standIn.clear();
        return false;
    }
    staged->path = staged->standIn;
    return true;
}

std::string BackupCommand::unstage(const Staged &staged)
{
    std::string changed;
    struct stat info;
    if (staged.fd >= 0 && !staged.copied && ::fstat(staged.fd, &info) == 0
        && info.st_size != staged.size) {
        changed = "it changed while it was sent (" + std::to_string(staged.size) + " bytes, now "
            + std::to_string(info.st_size) + "); the server's copy may be incomplete";
    }
    if (staged.fd >= 0)
        ::close(staged.fd);
    if (!staged.standIn.empty())
        ::unlink(staged.standIn.c_str());
    return changed;
}

int BackupCommand::send(const Staged &staged, int access, std::string *id)
{
    const std::string fileName = staged.path.substr(staged.path.rfind('/') + 1);
    const std::string name = "File [" + fileName + "]";
    Quorvane::EventNative event;
    event.name = name.c_str();
    event.path = staged.path.c_str();
    event.description = "Uploaded by KEYCRATE";
    event.kind = KindServerFile;
    event.access = access;
    const int code = m_session.add(event, true);
    // The first pipe's events grow by each file sent; the user keeps only
    // the new ones, and the file's is its id.
    for (const EventRecord &record : m_session.events()) {
        if (code == 0 && record.path == staged.path)
            *id = record.id;
    }
    return code;
}

int BackupCommand::run()
{
    int access = AccessOwner;
    if (m_line.has("access")) {
        access = EventCommands::accessOf(m_line.value("access"));
        if (access < 0) {
            m_err << "quorvane backup: --access takes everyone, friends or me\n";
            return 1;
        }
    }
    const auto started = std::chrono::steady_clock::now();
    int failed = 0;
    const std::vector<File> files = collect(&failed);
    std::int64_t total = 0;
    for (const File &file : files)
        total += file.size;

    int sent = 0;
    std::int64_t sentBytes = 0;
    std::int64_t doneBytes = 0;
    int stopCode = 0;
    KnownIds known;
    m_session.user().keepOnlyNew(&known);
    for (std::size_t i = 0; i < files.size(); ++i) {
        const File &file = files[i];
        m_progress.setOverall(doneBytes, file.size, total);
        m_progress.setPrefix(std::to_string(i + 1) + "/" + std::to_string(files.size()));
        m_progress.status(RecordFormat::printable(file.path));
        doneBytes += file.size;
        Staged staged;
        std::string reason;
        if (!stage(file, &staged, &reason)) {
            unstage(staged);
            m_progress.clear();
            refuse(file.path, reason, &failed);
            continue;
        }
        std::string id;
        const int code = send(staged, access, &id);
        reason = unstage(staged);
        if (code == 0 && !reason.empty()) {
            m_progress.clear();
            refuse(file.path, reason, &failed);
            continue;
        }
        if (code == 0) {
            m_progress.clear();
            if (!id.empty())
                m_out << RecordFormat::escaped(id) << '\t' << RecordFormat::escaped(file.path)
                      << '\n';
            ++sent;
            sentBytes += staged.size;
            continue;
        }
        ++failed;
        const int exit = Session::exitCode(code);
        m_progress.clear();
        if (exit != Quorvane::Failure) {
            stopCode
                = m_session.fail("cannot send " + RecordFormat::escaped(file.path), code, true);
            failed += int(files.size() - i - 1);
            break;
        }
        // A server that cannot be reached fails every file alike.
        const std::string unreachable = ServerProbe::unreachable(SharedSettings::serverUrl());
        if (!unreachable.empty()) {
            m_err << "quorvane: cannot send " << RecordFormat::escaped(file.path) << ": "
                  << unreachable << '\n';
            stopCode = Quorvane::Failure;
            failed += int(files.size() - i - 1);
            break;
        }
        const std::string &told = m_session.user().reason();
        m_err << "quorvane: cannot send " << RecordFormat::escaped(file.path) << ": "
              << (told.empty() ? "the server answered with an error, or the file could not be read"
                               : RecordFormat::printable(told))
              << '\n';
    }
    m_session.user().keepOnlyNew(nullptr);
    if (!m_standIns.empty())
        ::rmdir(m_standIns.c_str());
    m_progress.clear();

    const double seconds
        = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    char summary[200];
    std::snprintf(summary, sizeof summary, "sent %d, failed %d, %lld bytes (%s) in %.1f s\n", sent,
                  failed, static_cast<long long>(sentBytes), Progress::bytes(sentBytes).c_str(),
                  seconds);
    m_out << summary;
    if (stopCode != 0)
        return stopCode;
    return failed == 0 ? 0 : int(Quorvane::Failure);
}
