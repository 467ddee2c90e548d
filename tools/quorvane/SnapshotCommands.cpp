#include "SnapshotCommands.h"

#include "CommandLine.h"
#include "OwnFile.h"
#include "RecordFormat.h"
#include "RestoreCommand.h"
#include "Session.h"
#include "SnapshotCatalog.h"

#include <QDate>
#include <QDateTime>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

QDate dayOf(const EventRecord &record)
{
    return QDateTime::fromSecsSinceEpoch(
               qint64(std::strtoull(record.recordTime.c_str(), nullptr, 10)))
        .date();
}

bool parseCount(const std::string &text, int *value)
{
    if (text.empty() || text.size() > 6
        || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    *value = std::atoi(text.c_str());
    return true;
}

} // namespace

bool SnapshotCommands::handles(const std::string &command)
{
    return command == "snapshots" || command == "restore" || command == "versions"
        || command == "forget" || command == "check";
}

SnapshotCommands::SnapshotCommands(const CommandLine &line, Session &session, std::ostream &out,
                                   std::ostream &err)
    : m_line(line)
    , m_session(session)
    , m_out(out)
    , m_err(err)
{
}

int SnapshotCommands::usage(const std::string &message)
{
    m_err << "quorvane " << m_line.command()->name << ": " << message << "\nTry quorvane "
          << m_line.command()->name << " --help\n";
    return 1;
}

int SnapshotCommands::run()
{
    m_session.provideDataFolder();
    const std::string command = m_line.command()->name;
    if (command == "restore")
        return RestoreCommand(m_line, m_session, m_out, m_err).run();
    SnapshotCatalog catalog(m_session, m_err);
    if (command == "forget")
        return forget(catalog);
    const int code = catalog.read();
    if (code != 0)
        return m_session.fail("cannot read the server's events", code, true);
    if (command == "snapshots")
        return snapshots(catalog);
    if (command == "versions")
        return versions(catalog);
    return check(catalog);
}

int SnapshotCommands::snapshots(SnapshotCatalog &catalog)
{
    for (const EventRecord *record : catalog.snapshots()) {
        if (m_line.has("json"))
            m_out << "{\"id\":" << RecordFormat::jsonString(record->id)
                  << ",\"name\":" << RecordFormat::jsonString(record->name)
                  << ",\"recordTime\":" << RecordFormat::jsonString(record->recordTime)
                  << ",\"time\":" << RecordFormat::jsonString(record->localTime()) << "}\n";
        else
            m_out << RecordFormat::printable(record->id) << "  " << record->localTime() << "  "
                  << RecordFormat::printable(record->name) << '\n';
    }
    return 0;
}

int SnapshotCommands::versions(SnapshotCatalog &catalog)
{
    const std::string given = m_line.arguments().front();
    std::error_code failure;
    const std::string absolute = fs::absolute(given, failure).lexically_normal().string();
    struct Version
    {
        const EventRecord *snapshot;
        SnapshotManifest::Entry entry;
    };
    std::vector<Version> found;
    std::vector<const EventRecord *> all = catalog.snapshots();
    for (auto snapshot = all.rbegin(); snapshot != all.rend(); ++snapshot) {
        SnapshotManifest manifest;
        std::vector<SnapshotManifest::Refusal> refused;
        std::string error;
        if (!catalog.manifest(**snapshot, &manifest, &refused, &error)) {
            m_err << "quorvane: the snapshot " << RecordFormat::printable((*snapshot)->id) << ": "
                  << error << '\n';
            continue;
        }
        std::string relative = given;
        for (const std::string &root : manifest.roots)
            if (absolute == root || absolute.compare(0, root.size() + 1, root + "/") == 0)
                relative = SnapshotManifest::rootName(root) + absolute.substr(root.size());
        const SnapshotManifest::Entry *entry = manifest.find(relative);
        if (entry && entry->type == SnapshotManifest::Type::File
            && (found.empty() || found.back().entry.sha256 != entry->sha256))
            found.push_back({ *snapshot, *entry });
    }
    if (found.empty()) {
        m_err << "quorvane: no snapshot holds " << RecordFormat::escaped(given) << '\n';
        return Quorvane::Failure;
    }
    for (auto version = found.rbegin(); version != found.rend(); ++version)
        m_out << version->snapshot->localTime() << '\t'
              << RecordFormat::printable(version->snapshot->id) << '\t' << version->entry.size
              << '\t' << version->entry.sha256 << '\n';
    return 0;
}

int SnapshotCommands::forget(SnapshotCatalog &catalog)
{
    const char *const options[] = { "keep-last", "keep-daily", "keep-weekly", "keep-monthly" };
    int keep[4] = {};
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        if (m_line.has(options[i]) && !parseCount(m_line.value(options[i]), &keep[i]))
            return usage(std::string("--") + options[i] + " takes a number");
        any = any || keep[i] > 0;
    }
    if (!any)
        return usage("give what to keep: a --keep-* option above 0");
    const int code = catalog.read();
    if (code != 0)
        return m_session.fail("cannot read the server's events", code, true);

    // Per host and roots: the newest N, and the newest of each of the last N
    // days, weeks and months that have one.
    std::map<std::string, std::vector<const EventRecord *>> groups;
    for (const EventRecord *snapshot : catalog.snapshots())
        groups[SnapshotCatalog::rootsKeyOf(*snapshot)].push_back(snapshot);
    std::vector<const EventRecord *> kept, removed;
    for (const auto &group : groups) {
        std::string last[4];
        int taken[4] = {};
        for (std::size_t n = 0; n < group.second.size(); ++n) {
            const EventRecord *snapshot = group.second[n];
            const QDate day = dayOf(*snapshot);
            int weekYear = 0;
            const int week = day.weekNumber(&weekYear);
            const std::string buckets[4]
                = { std::to_string(n), day.toString(Qt::ISODate).toStdString(),
                    std::to_string(weekYear) + "-" + std::to_string(week),
                    day.toString(QStringLiteral("yyyy-MM")).toStdString() };
            bool keepIt = false;
            for (int i = 0; i < 4; ++i) {
                if (taken[i] < keep[i] && buckets[i] != last[i]) {
                    last[i] = buckets[i];
                    ++taken[i];
                    keepIt = true;
                }
            }
            (keepIt ? kept : removed).push_back(snapshot);
        }
    }

    // What the kept ones name stays; nothing is removed unless all of them
    // could be read.
    std::set<std::string> named, candidates;
    for (const EventRecord *snapshot : kept) {
        SnapshotManifest manifest;
        std::vector<SnapshotManifest::Refusal> refused;
        std::string error;
        if (!catalog.manifest(*snapshot, &manifest, &refused, &error)) {
            m_err << "quorvane: the snapshot " << RecordFormat::printable(snapshot->id) << ": "
                  << error << "; nothing removed\n";
            return Quorvane::Failure;
        }
        for (const SnapshotManifest::Entry &entry : manifest.entries)
            named.insert(entry.event);
    }
    for (const EventRecord *snapshot : removed) {
        SnapshotManifest manifest;
        std::vector<SnapshotManifest::Refusal> refused;
        std::string error;
        if (!catalog.manifest(*snapshot, &manifest, &refused, &error)) {
            m_err << "quorvane: the snapshot " << RecordFormat::printable(snapshot->id) << ": "
                  << error << "; its contents are kept\n";
            continue;
        }
        for (const SnapshotManifest::Entry &entry : manifest.entries) {
            const EventRecord *content = catalog.find(entry.event);
            // Only contents that backups sent: never another event.
            if (!named.count(entry.event) && content
                && !SnapshotCatalog::sha256Of(*content).empty())
                candidates.insert(entry.event);
        }
    }
    const bool dryRun = m_line.has("dry-run");
    const char *verb = dryRun ? "would remove" : "remove";
    std::vector<std::string> snapshotIds, contentIds(candidates.begin(), candidates.end());
    for (const EventRecord *snapshot : removed) {
        snapshotIds.push_back(snapshot->id);
        m_out << verb << " snapshot " << RecordFormat::printable(snapshot->id) << ' '
              << RecordFormat::printable(snapshot->name) << '\n';
    }
    for (const std::string &id : contentIds)
        m_out << verb << " content " << RecordFormat::printable(id) << '\n';
    m_out << "keep " << kept.size() << " snapshots, remove " << removed.size() << " and "
          << contentIds.size() << " contents\n";
    if (dryRun)
        return 0;
    for (const std::vector<std::string> *ids : { &snapshotIds, &contentIds }) {
        if (ids->empty())
            continue;
        int result = m_session.read(ReadQuery::everything(true));
        if (result == 0)
            result = m_session.run(&Quorvane::IQuorvane::deleteServerEvents, *ids);
        if (result == 0)
            result = m_session.confirm(*ids, Session::Expected::NotOnServer);
        if (result != 0)
            return m_session.fail("cannot remove the events", result, true);
    }
    return 0;
}

int SnapshotCommands::check(SnapshotCatalog &catalog)
{
    const bool readData = m_line.has("read-data");
    int problems = 0;
    // Each content once: its event and offset, its size and SHA-256.
    std::map<std::pair<std::string, std::int64_t>, std::pair<std::int64_t, std::string>> expected;
    const std::vector<const EventRecord *> all = catalog.snapshots();
    for (const EventRecord *snapshot : all) {
        SnapshotManifest manifest;
        std::vector<SnapshotManifest::Refusal> refused;
        std::string error;
        const std::string name = "quorvane: snapshot " + RecordFormat::printable(snapshot->id);
        if (!catalog.manifest(*snapshot, &manifest, &refused, &error)) {
            m_err << name << ": " << error << '\n';
            ++problems;
            continue;
        }
        for (const SnapshotManifest::Refusal &refusal : refused) {
            m_err << name << ": line " << refusal.line << " refused: " << refusal.reason << '\n';
            ++problems;
        }
        for (const SnapshotManifest::Entry &entry : manifest.entries) {
            if (entry.type != SnapshotManifest::Type::File)
                continue;
            const EventRecord *content = catalog.find(entry.event);
            if (!content || (content->location != 1 && content->location != 2)) {
                m_err << name << ": " << RecordFormat::escaped(entry.path) << ": its event "
                      << RecordFormat::printable(entry.event) << " is not on the server\n";
                ++problems;
            } else {
                expected.emplace(std::make_pair(entry.event, entry.offset),
                                 std::make_pair(entry.size, entry.sha256));
            }
        }
    }
    if (readData && !expected.empty()) {
        std::vector<std::string> ids;
        for (const auto &content : expected)
            if (ids.empty() || ids.back() != content.first.first)
                ids.push_back(content.first.first);
        std::map<std::string, std::string> files;
        const int code = catalog.fetch(ids, &files);
        if (code != 0)
            return code;
        for (const auto &content : expected) {
            const std::int64_t offset = content.first.second;
            const std::int64_t size = content.second.first;
            std::string error;
            std::int64_t read = 0;
            std::string sha256;
            const int fd = Platform::OwnFile::open(files[content.first.first], O_RDONLY, &error);
            if (fd >= 0 && (offset < 0 || ::lseek(fd, offset, SEEK_SET) == offset))
                sha256 = SnapshotCatalog::sha256OfFile(fd, &error, &read, offset < 0 ? -1 : size);
            if (fd >= 0)
                ::close(fd);
            if (sha256 != content.second.second || read != size) {
                m_err << "quorvane: event " << RecordFormat::printable(content.first.first);
                if (offset >= 0)
                    m_err << " at " << offset;
                m_err << ": its bytes do not match their SHA-256\n";
                ++problems;
            }
        }
    }
    m_out << "checked " << all.size() << " snapshots and " << expected.size() << " contents"
          << (readData ? " (bytes read)" : "") << ": " << problems << " problems\n";
    return problems == 0 ? 0 : int(Quorvane::Failure);
}
