#include "RestoreCommand.h"

#include "CommandLine.h"
#include "RecordFormat.h"
#include "Session.h"
#include "SnapshotCatalog.h"
#include "SnapshotRestore.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

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
    m_err << "quorvane: " << RecordFormat::escaped(path) << ": " << RecordFormat::printable(reason)
          << (reason == SnapshotRestore::NotOverwritten ? " (see --overwrite)" : "") << '\n';
    ++m_failed;
}

std::string RestoreCommand::fileOf(const std::string &event) const
{
    const auto found = m_files.find(event);
    return found == m_files.end() ? std::string() : found->second;
}

bool RestoreCommand::mayTake(const std::string &event) const
{
    return m_pulled.count(event) > 0;
}

std::string RestoreCommand::confirmedSha256(int fd) const
{
    char hex[65];
    return m_session.library()->getFileDigest(fd, hex) == Quorvane::Success ? std::string(hex, 64)
                                                                            : std::string();
}

int RestoreCommand::run()
{
    if (!m_line.has("to")) {
        m_err << "quorvane restore: --to DIR is needed\nTry quorvane restore --help\n";
        return 1;
    }
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
    const SnapshotRestore::Entries chosen = SnapshotRestore::choose(manifest, wanted);
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
    const int root = ::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string notHere
        = root < 0 ? std::strerror(errno) : SnapshotRestore::refusedTarget(root);
    if (!notHere.empty()) {
        m_err << "quorvane: cannot restore into " << RecordFormat::escaped(to) << ": " << notHere
              << '\n';
        if (root >= 0)
            ::close(root);
        return Quorvane::Failure;
    }
    std::vector<std::string> ids;
    for (const std::string &event : SnapshotRestore::contentEvents(chosen)) {
        // A content that is gone costs its files, not the whole restore.
        const EventRecord *content = catalog.find(event);
        if (content && (content->location == 1 || content->location == 2))
            ids.push_back(event);
    }
    code = ids.empty() ? 0 : catalog.fetch(ids, &m_files);
    if (code != 0) {
        ::close(root);
        return code;
    }
    m_pulled.insert(catalog.pulled().begin(), catalog.pulled().end());

    SnapshotRestore restore(
        root, *this,
        [this](const std::string &path, const std::string &reason) { report(path, reason); });
    restore.setOverwrite(m_line.has("overwrite"));
    const int restored = restore.restore(chosen);
    ::close(root);
    m_out << "restored " << restored << " of " << chosen.size() << " entries of "
          << RecordFormat::escaped(snapshot->id) << " to " << RecordFormat::escaped(to)
          << ", failed " << m_failed << '\n';
    return m_failed == 0 ? 0 : int(Quorvane::Failure);
}
