#include "BackupCommand.h"

#include "CommandLine.h"
#include "EventCommands.h"
#include "Progress.h"
#include "RecordFormat.h"
#include "ServerProbe.h"
#include "Session.h"
#include "SharedSettings.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>

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

std::vector<BackupCommand::File> BackupCommand::collect(int *missing)
{
    std::vector<File> files;
    const auto take = [&](const fs::path &path) {
        std::error_code error;
        if (fs::is_regular_file(path, error))
            files.push_back({ fs::absolute(path, error).lexically_normal().string(),
                              std::int64_t(fs::file_size(path, error)) });
    };
    for (const std::string &argument : m_line.arguments()) {
        std::error_code error;
        const fs::file_status status = fs::status(argument, error);
        if (fs::is_directory(status)) {
            // Links to folders are not followed: they may loop.
            fs::recursive_directory_iterator walk(
                argument, fs::directory_options::skip_permission_denied, error);
            for (; !error && walk != fs::recursive_directory_iterator(); walk.increment(error))
                take(walk->path());
            if (error) {
                m_err << "quorvane: " << argument << ": " << error.message() << '\n';
                ++*missing;
            }
        } else if (fs::is_regular_file(status)) {
            take(argument);
        } else {
            m_err << "quorvane: " << argument
                  << (fs::exists(status) ? ": not a file or folder\n"
                                         : ": no such file or folder\n");
            ++*missing;
        }
    }
    std::sort(files.begin(), files.end(),
              [](const File &a, const File &b) { return a.path < b.path; });
    files.erase(std::unique(files.begin(), files.end(),
                            [](const File &a, const File &b) { return a.path == b.path; }),
                files.end());
    return files;
}

int BackupCommand::send(const File &file, int access, std::vector<std::string> *known)
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
    // The first pipe's events grow by each file sent: the new one is its id.
    for (const EventRecord &record : m_session.events()) {
        if (std::find(known->begin(), known->end(), record.id) != known->end())
            continue;
        known->push_back(record.id);
        if (code == 0 && record.path == file.path) {
            m_progress.clear();
            m_out << record.id << '\t' << file.path << '\n';
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
    std::vector<std::string> known;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const File &file = files[i];
        m_progress.setOverall(doneBytes, file.size, total);
        m_progress.setPrefix(std::to_string(i + 1) + "/" + std::to_string(files.size()));
        m_progress.status(RecordFormat::printable(file.path));
        const int code = send(file, access, &known);
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
            stopCode = m_session.fail("cannot send " + file.path, code, true);
            failed += int(files.size() - i - 1);
            break;
        }
        // A server that cannot be reached fails every file alike.
        const std::string reason = ServerProbe::unreachable(SharedSettings::serverUrl());
        if (!reason.empty()) {
            m_err << "quorvane: cannot send " << file.path << ": " << reason << '\n';
            stopCode = Quorvane::Failure;
            failed += int(files.size() - i - 1);
            break;
        }
        m_err << "quorvane: cannot send " << file.path
              << ": the server answered with an error, or the file could not be read\n";
    }
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
