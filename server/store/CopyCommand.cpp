#include "store/CopyCommand.h"

#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/FolderStore.h"
#include "store/ObjectStore.h"
#include "store/Schema.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace QuorvaneServer {

namespace {

const char *const EventColumns = "user_id, event_id, name, path, type, content, description, "
                                 "record_time, record_changed, time_key, access_id, size, "
                                 "storage, sha256, block_sums";

struct Copied
{
    size_t users = 0;
    size_t events = 0;
    std::string serviceId;
    // The source was marked moved by a copy that broke off.
    bool marked = false;
};

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

std::string serviceOf(Database &db)
{
    Statement service(db, "SELECT id FROM service");
    return service.step() ? service.bytes(0) : std::string();
}

void setService(Database &db, const std::string &id)
{
    std::lock_guard<std::mutex> lock(db.mutex());
    Transaction transaction(db);
    db.execute("DELETE FROM service");
    Statement(db, "INSERT INTO service (id) VALUES (?1)").bindText(1, id).step();
    transaction.commit();
}

// Servers that go on serving the source would answer for changes that the
// new service never sees.
void refuseWhileUsed(Database &from)
{
    std::lock_guard<std::mutex> lock(from.mutex());
    Statement others(from,
                     "SELECT count(*) FROM pg_stat_activity WHERE datname = current_database() "
                     "AND application_name = 'quorvane-server' AND pid <> pg_backend_pid()");
    others.step();
    if (others.integer(0) > 0)
        throw DatabaseError("quorvane-server processes still use the source database ("
                            + std::to_string(others.integer(0))
                            + " connections); stop them before copying");
}

// Fills the target, named as a copy not yet finished: no server takes it up
// until the source is marked moved, and until then a copy that broke off
// may start over.
Copied copyRows(Database &from, Database &to)
{
    Copied copied;
    std::lock_guard<std::mutex> lockTo(to.mutex());
    std::lock_guard<std::mutex> lockFrom(from.mutex());
    Transaction transaction(to);
    // The data folder stays with the service: it knows the new database by
    // the same id.
    copied.serviceId = serviceOf(from);
    if (startsWith(copied.serviceId, DataFolder::CopyingPrefix))
        throw DatabaseError("the source database is the target of a copy that is not finished; "
                            "run that copy again first");
    const std::string target = serviceOf(to);
    // A source never served has no id yet; a copy of it that broke off gave one.
    if (copied.serviceId.empty())
        copied.serviceId = startsWith(target, DataFolder::CopyingPrefix)
            ? target.substr(std::strlen(DataFolder::CopyingPrefix))
            : DataFolder::newServiceId();
    if (startsWith(copied.serviceId, DataFolder::MovedPrefix)) {
        // A copy here that broke off after marking the source is finished.
        copied.serviceId.erase(0, std::strlen(DataFolder::MovedPrefix));
        if (target == DataFolder::CopyingPrefix + copied.serviceId) {
            copied.marked = true;
            return copied;
        }
        throw DatabaseError("the service of the source database was moved to another one "
                            "already; copy from that one");
    }
    Statement present(to, "SELECT (SELECT count(*) FROM users) + (SELECT count(*) FROM events)");
    present.step();
    if (present.integer(0) != 0) {
        if (target != DataFolder::CopyingPrefix + copied.serviceId)
            throw DatabaseError("the target database holds accounts or events already; copy "
                                "only into an empty one");
        // What a copy that broke off left here was never served: copied anew.
        to.execute("DELETE FROM events; DELETE FROM users");
    }

    Statement users(from, "SELECT id, name, password_hash FROM users ORDER BY id");
    while (users.step()) {
        Statement(to, "INSERT INTO users (id, name, password_hash) VALUES (?1, ?2, ?3)")
            .bind(1, users.integer(0))
            .bind(2, users.bytes(1))
            .bindText(3, users.bytes(2))
            .step();
        ++copied.users;
    }
    // New accounts go on after the highest id the source ever gave, not
    // only after those it still holds.
    Statement given(from,
                    from.kind() == Database::Kind::SQLite
                        ? "SELECT last FROM account_ids"
                        : "SELECT coalesce(last_value, 0) FROM pg_sequences WHERE "
                          "sequencename = 'users_id_seq' AND schemaname = current_schema()");
    const int64_t highest = given.step() ? given.integer(0) : 0;
    if (to.kind() == Database::Kind::PostgreSQL)
        Statement(to,
                  "SELECT setval(pg_get_serial_sequence('users', 'id'), greatest(?1, (SELECT "
                  "coalesce(max(id), 0) FROM users)) + 1, false)")
            .bind(1, highest)
            .step();
    else
        Statement(to, "UPDATE account_ids SET last = max(last, ?1)").bind(1, highest).step();

    to.execute("DELETE FROM service");
    Statement(to, "INSERT INTO service (id) VALUES (?1)")
        .bindText(1, DataFolder::CopyingPrefix + copied.serviceId)
        .step();

    const std::string select = std::string("SELECT ") + EventColumns + " FROM events";
    const std::string insert = std::string("INSERT INTO events (") + EventColumns
        + ") VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)";
    Statement events(from, select.c_str());
    while (events.step()) {
        Statement row(to, insert.c_str());
        row.bind(1, events.integer(0));
        for (int column = 1; column <= 8; ++column)
            row.bind(column + 1, events.bytes(column));
        row.bind(10, events.integer(9)).bind(11, events.integer(10)).bind(12, events.integer(11));
        row.bindText(13, events.bytes(12));
        for (int column = 13; column <= 14; ++column) {
            if (events.isNull(column))
                row.bindNull(column + 1);
            else
                row.bind(column + 1, events.bytes(column));
        }
        row.step();
        ++copied.events;
    }
    transaction.commit();
    return copied;
}

} // namespace

CopyCommand::CopyCommand(const CommandLine &line)
    : m_line(line)
{
}

int CopyCommand::copyFiles()
{
    DataFolder folder(m_line.dataFolder);
    const std::string location = m_line.databaseLocation();
    const auto db = Database::open(location);
    if (db->kind() == Database::Kind::SQLite && !folder.lockForServer())
        throw DatabaseError("a server runs on " + folder.path() + "; stop it before copying");
    if (db->kind() == Database::Kind::PostgreSQL)
        refuseWhileUsed(*db);
    Schema::requireCurrent(*db, location);
    // Both places are bound to the service, so neither is another's.
    folder.bindTo(*db);
    FolderStore inFolder(folder);
    ObjectStore inBucket(folder, m_line.storage, m_line.s3Settings());
    inBucket.bindTo(*db);
    const FileStore &from = m_line.toFolder ? static_cast<const FileStore &>(inBucket) : inFolder;
    const FileStore &to = m_line.toFolder ? static_cast<const FileStore &>(inFolder) : inBucket;

    std::vector<std::pair<std::string, std::string>> files;
    {
        std::lock_guard<std::mutex> lock(db->mutex());
        Statement stored(*db, "SELECT storage, sha256 FROM events ORDER BY storage");
        while (stored.step())
            files.emplace_back(stored.bytes(0), stored.isNull(1) ? std::string() : stored.bytes(1));
    }
    size_t bad = 0;
    for (const auto &[name, digest] : files) {
        std::string problem;
        try {
            const int fd = from.open(name);
            if (fd < 0)
                throw std::runtime_error(std::string("cannot be read: ") + std::strerror(errno));
            struct stat info;
            try {
                if (::fstat(fd, &info) != 0)
                    throw std::runtime_error(std::string("cannot be read: ")
                                             + std::strerror(errno));
                to.put(name, fd, static_cast<uint64_t>(info.st_size));
            } catch (...) {
                ::close(fd);
                throw;
            }
            ::close(fd);
            if (digest.empty())
                problem = "has no hash";
            else if (to.digest(name) != digest)
                problem = "does not match its hash";
        } catch (const std::exception &error) {
            problem = error.what();
        }
        if (!problem.empty()) {
            ++bad;
            std::fprintf(stderr, "quorvane-server: stored file %s %s\n", name.c_str(),
                         problem.c_str());
        }
    }
    std::printf("Copied %zu files from %s to %s: %zu sound, %zu not.\n", files.size(),
                m_line.toFolder ? m_line.storage.c_str() : folder.path().c_str(),
                m_line.toFolder ? folder.path().c_str() : m_line.storage.c_str(),
                files.size() - bad, bad);
    return bad == 0 ? 0 : 1;
}

int CopyCommand::run()
{
    try {
        if (!m_line.storage.empty())
            return copyFiles();
        DataFolder folder(m_line.dataFolder);
        FolderStore files(folder);
        const auto from = Database::open(m_line.copyFrom);
        if (from->kind() == Database::Kind::SQLite && !folder.lockForServer())
            throw DatabaseError("a server runs on " + folder.path() + "; stop it before copying");
        if (from->kind() == Database::Kind::PostgreSQL)
            refuseWhileUsed(*from);
        Schema::requireCurrent(*from, m_line.copyFrom);
        const auto to = Database::open(m_line.copyTo);
        Schema::prepare(*to, m_line.copyTo);
        // Each step may run twice: one that broke off is run again, and so
        // is the whole copy.
        try {
            const Copied copied = Transaction::retried([&] { return copyRows(*from, *to); }, true);
            // Servers refuse the old database from now on: beside the new
            // one, it would take the files of new events for strays.
            if (!copied.marked)
                Transaction::retried(
                    [&] { setService(*from, DataFolder::MovedPrefix + copied.serviceId); }, true);
            Transaction::retried([&] { setService(*to, copied.serviceId); }, true);
            if (copied.marked)
                std::printf("Finished the copy from %s to %s; servers now refuse the old "
                            "database.\n",
                            Database::describe(m_line.copyFrom).c_str(),
                            Database::describe(m_line.copyTo).c_str());
            else
                std::printf("Copied %zu accounts and %zu events from %s to %s; servers now "
                            "refuse the old database.\n",
                            copied.users, copied.events,
                            Database::describe(m_line.copyFrom).c_str(),
                            Database::describe(m_line.copyTo).c_str());
        } catch (const DatabaseError &failure) {
            if (!failure.unavailable())
                throw;
            throw DatabaseError(std::string(failure.what())
                                + "; the copy is not finished: run it again as it was");
        }

        to->refreshStatistics();

        // Checked from the target's rows: what the new service will deliver.
        size_t sound = 0;
        size_t bad = 0;
        std::lock_guard<std::mutex> lock(to->mutex());
        Statement stored(*to,
                         "SELECT u.name, e.event_id, e.storage, e.sha256 FROM events e "
                         "JOIN users u ON u.id = e.user_id ORDER BY u.name, e.event_id");
        while (stored.step()) {
            const std::string user = stored.bytes(0);
            const std::string id = stored.bytes(1);
            std::string problem;
            try {
                if (stored.isNull(3))
                    problem = "has no hash";
                else if (files.digest(stored.bytes(2)) != stored.bytes(3))
                    problem = "does not match its hash";
            } catch (const std::exception &error) {
                problem = error.what();
            }
            if (problem.empty()) {
                ++sound;
                continue;
            }
            ++bad;
            std::fprintf(stderr, "quorvane-server: the file of event %s of \"%s\" %s\n", id.c_str(),
                         user.c_str(), problem.c_str());
        }
        std::printf("Checked %zu files: %zu sound, %zu not.\n", sound + bad, sound, bad);
        return bad == 0 ? 0 : 1;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quorvane-server: %s\n", error.what());
        return 1;
    }
}

} // namespace QuorvaneServer
