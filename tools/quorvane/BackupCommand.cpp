#include "BackupCommand.h"

#include "CommandLine.h"
#include "EventCommands.h"
#include "Progress.h"
#include "RecordFormat.h"
#include "ServerProbe.h"
#include "Session.h"
#include "SharedSettings.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
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
        // files are sent, and a file that says it is empty must be.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        char byte;
        if (fd < 0) {
            refuse(path, std::strerror(errno), failed);
            return;
        }
        const bool holdsMore = info.st_size == 0 && ::read(fd, &byte, 1) > 0;
        ::close(fd);
        if (holdsMore)
            refuse(path, "its size is given as 0 but it holds data (a system file?); not sent",
                   failed);
        else
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

int BackupCommand::send(const File &file, int access)
{
    const std::string fileName = file.path.substr(file.path.rfind('/') + 1);
    const std::string name = "File [" + fileName + "]";
    Quorvane::EventNative event;
    event.name = name.c_str();
    event.path = file.path.c_str();
    event.description = "Uploaded by KEYCRATE";
    event.kind = KindServerFile;
    event.access = access;
    const int code = m_session.add(event, true);
    // The first pipe's events grow by each file sent; the user keeps only
    // the new ones, and the file's is its id.
    for (const EventRecord &record : m_session.events()) {
        if (code == 0 && record.path == file.path) {
            m_progress.clear();
            m_out << RecordFormat::escaped(record.id) << '\t' << RecordFormat::escaped(file.path)
                  << '\n';
        }
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
        const int code = send(file, access);
        doneBytes += file.size;
        if (code == 0) {
            ++sent;
            sentBytes += file.size;
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
        const std::string reason = ServerProbe::unreachable(SharedSettings::serverUrl());
        if (!reason.empty()) {
            m_err << "quorvane: cannot send " << RecordFormat::escaped(file.path) << ": " << reason
                  << '\n';
            stopCode = Quorvane::Failure;
            failed += int(files.size() - i - 1);
            break;
        }
        m_err << "quorvane: cannot send " << RecordFormat::escaped(file.path)
              << ": the server answered with an error, or the file could not be read\n";
    }
    m_session.user().keepOnlyNew(nullptr);
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
