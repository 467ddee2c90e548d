#include "SnapshotCatalog.h"

#include "FetchPlan.h"
#include "LibraryBinding.h"
#include "OwnFile.h"
#include "RecordFormat.h"
#include "Session.h"
#include "Sha256Digest.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const std::string SnapshotMarker = "quorvane-snapshot 1 roots:";
const std::string ContentMarker = "sha256:";
constexpr std::size_t MaximumManifest = std::size_t(1) << 30;

bool startsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

unsigned long long timeOf(const EventRecord &record)
{
    return std::strtoull(record.recordTime.c_str(), nullptr, 10);
}

// Two snapshots of one second are told apart by when their backups began.
std::pair<unsigned long long, unsigned long long> orderOf(const EventRecord &record)
{
    const std::size_t created = record.content.find(" created:");
    return { timeOf(record),
             created == std::string::npos
                 ? 0
                 : std::strtoull(record.content.c_str() + created + 9, nullptr, 10) };
}

} // namespace

SnapshotCatalog::SnapshotCatalog(Session &session, std::ostream &err)
    : m_session(session)
    , m_err(err)
    , m_note(LibraryBinding::dataPath(session.library()))
{
}

SnapshotCatalog::~SnapshotCatalog()
{
    // The store keeps what it held before; restored files live in DIR.
    if (m_pulled.empty()) {
        m_note.remove();
        return;
    }
    Quorvane::IdList list = Quorvane::IdList::withCapacity(int(m_pulled.size()));
    for (const std::string &id : m_pulled)
        list.append(id.c_str());
    // A read queued behind the removal waits for it: one of the recent days
    // only, not of every day since 1970 as a check of what is left would be.
    if (m_session.library()->deleteLocalEvents(list) == Quorvane::Success
        && m_session.read(ReadQuery()) == 0)
        m_note.remove();
}

int SnapshotCatalog::read()
{
    const int code = m_session.read(ReadQuery::everything(true));
    if (code == 0) {
        m_events = m_session.events();
        m_byId.clear();
        m_byId.reserve(m_events.size());
        for (std::size_t i = 0; i < m_events.size(); ++i)
            m_byId.emplace(m_events[i].id, i);
        for (const std::string &id : m_note.adoptLeftovers())
            if (m_adopted.insert(id).second)
                m_pulled.push_back(id);
    }
    m_fresh = code == 0;
    return code;
}

const EventRecord *SnapshotCatalog::find(const std::string &id) const
{
    const auto found = m_byId.find(id);
    return found == m_byId.end() ? nullptr : &m_events[found->second];
}

bool SnapshotCatalog::isSnapshot(const EventRecord &record)
{
    return startsWith(record.name, "Snapshot [") && startsWith(record.content, SnapshotMarker)
        && (record.location == 1 || record.location == 2);
}

std::vector<const EventRecord *> SnapshotCatalog::snapshots() const
{
    std::vector<const EventRecord *> found;
    for (const EventRecord &record : m_events)
        if (isSnapshot(record))
            found.push_back(&record);
    std::stable_sort(found.begin(), found.end(), [](const EventRecord *a, const EventRecord *b) {
        return orderOf(*a) != orderOf(*b) ? orderOf(*a) > orderOf(*b) : a->id > b->id;
    });
    return found;
}

const EventRecord *SnapshotCatalog::snapshot(const std::string &given) const
{
    const std::vector<const EventRecord *> all = snapshots();
    if (given.empty() || given == "latest")
        return all.empty() ? nullptr : all.front();
    const EventRecord *match = nullptr;
    for (const EventRecord *record : all) {
        if (record->id == given)
            return record;
        if (given.size() >= 4 && startsWith(record->id, given)) {
            if (match)
                return nullptr;
            match = record;
        }
    }
    return match;
}

std::string SnapshotCatalog::rootsKey(const std::string &host,
                                      const std::vector<std::string> &roots)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(QByteArray::fromStdString(host));
    for (const std::string &root : roots) {
        hash.addData(QByteArray(1, '\0'));
        hash.addData(QByteArray::fromStdString(root));
    }
    return hash.result().toHex().left(32).toStdString();
}

std::string SnapshotCatalog::snapshotContent(const std::string &rootsKey,
                                             unsigned long long createdNanoseconds)
{
    return SnapshotMarker + rootsKey + " created:" + std::to_string(createdNanoseconds);
}

std::string SnapshotCatalog::rootsKeyOf(const EventRecord &snapshot)
{
    if (!startsWith(snapshot.content, SnapshotMarker))
        return std::string();
    const std::string rest = snapshot.content.substr(SnapshotMarker.size());
    return rest.substr(0, rest.find(' '));
}

std::string SnapshotCatalog::contentOf(const std::string &sha256)
{
    return ContentMarker + sha256;
}

std::string SnapshotCatalog::sha256Of(const EventRecord &record)
{
    if (!startsWith(record.content, ContentMarker)
        || (record.location != 1 && record.location != 2))
        return std::string();
    const std::string hex = record.content.substr(ContentMarker.size());
    return hex.size() == 64 && hex.find_first_not_of("0123456789abcdef") == std::string::npos
        ? hex
        : std::string();
}

std::string SnapshotCatalog::sha256OfFile(int fd, std::string *error, std::int64_t *size,
                                          std::int64_t limit, const std::atomic<bool> *stop)
{
    std::int64_t total = 0;
    Sha256Digest hash;
    std::vector<char> buffer(1 << 20);
    while (true) {
        const std::size_t want = limit < 0
            ? buffer.size()
            : std::size_t(std::min<std::int64_t>(limit - total, std::int64_t(buffer.size())));
        if (want == 0)
            break;
        if (stop && *stop) {
            *error = "stopped";
            return std::string();
        }
        const ssize_t got = ::read(fd, buffer.data(), want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            *error = std::strerror(errno);
            return std::string();
        }
        if (got == 0)
            break;
        total += got;
        hash.add(buffer.data(), std::size_t(got));
    }
    if (size)
        *size = total;
    return hash.hex();
}

std::string SnapshotCatalog::localFile(const EventRecord &record) const
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(qint64(timeOf(record)));
    const std::string day = local.toString(QStringLiteral("yyyy/MM/dd")).toStdString();
    return LibraryBinding::dataPath(m_session.library()) + "/" + day + "/" + record.id + "/"
        + record.path.substr(record.path.rfind('/') + 1);
}

int SnapshotCatalog::fetch(const std::vector<std::string> &ids,
                           std::map<std::string, std::string> *files)
{
    FetchPlan plan;
    for (const std::string &id : ids) {
        const EventRecord *record = find(id);
        if (!record) {
            m_err << "quorvane: event " << RecordFormat::printable(id) << " is not on the server\n";
            return Quorvane::Failure;
        }
        plan.add(id, record->location, localFile(*record));
    }
    const std::vector<std::string> &missing = plan.missing();
    const std::vector<std::string> &emptied = plan.emptied();
    if (!missing.empty()) {
        int code = emptied.empty() ? 0 : m_session.removeLocal(emptied);
        m_fresh = m_fresh && emptied.empty();
        // The library selects among the events its last read listed.
        if (code == 0 && !m_fresh)
            code = m_session.read(ReadQuery::everything(true));
        m_fresh = false;
        if (code == 0) {
            const std::string noteProblem = m_note.add(missing);
            if (!noteProblem.empty())
                m_err << "quorvane: " << RecordFormat::printable(noteProblem) << '\n';
            code = m_session.run(&Quorvane::IQuorvane::downloadEvents, missing);
        }
        if (code != 0)
            return m_session.fail("cannot fetch the snapshot's files", code, true);
        for (const std::string &id : missing)
            if (m_adopted.count(id) == 0)
                m_pulled.push_back(id);
    }
    for (const std::string &id : ids)
        (*files)[id] = localFile(*find(id));
    return 0;
}

bool SnapshotCatalog::manifest(const EventRecord &snapshot, SnapshotManifest *manifest,
                               std::vector<SnapshotManifest::Refusal> *refused, std::string *error)
{
    std::map<std::string, std::string> files;
    if (fetch({ snapshot.id }, &files) != 0) {
        *error = "cannot fetch it";
        return false;
    }
    std::string problem;
    const int fd = Platform::OwnFile::open(files[snapshot.id], O_RDONLY, &problem);
    if (fd < 0) {
        *error = errno == ENOENT ? "its manifest was not fetched"
                                 : "its manifest cannot be read (" + problem + ")";
        return false;
    }
    std::string text;
    char buffer[65536];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0 && text.size() < MaximumManifest)
        text.append(buffer, std::size_t(got));
    ::close(fd);
    if (got < 0 || text.size() >= MaximumManifest) {
        *error = "its manifest cannot be read";
        return false;
    }
    return SnapshotManifest::parse(text, manifest, refused, error);
}
