#include "store/Schema.h"

#include "store/Database.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <vector>

namespace QuorvaneServer {

namespace {

// Version 1 is the layout of the first server, which knew only SQLite.
const char *const SqliteVersion1 = R"sql(
CREATE TABLE users (
    id INTEGER PRIMARY KEY,
    name BLOB NOT NULL UNIQUE,
    password_hash TEXT NOT NULL
);
CREATE TABLE events (
    user_id INTEGER NOT NULL REFERENCES users(id),
    event_id BLOB NOT NULL,
    name BLOB NOT NULL,
    path BLOB NOT NULL,
    type BLOB NOT NULL,
    content BLOB NOT NULL,
    description BLOB NOT NULL,
    record_time BLOB NOT NULL,
    record_changed BLOB NOT NULL,
    time_key INTEGER NOT NULL,
    access_id INTEGER NOT NULL,
    size INTEGER NOT NULL,
    storage TEXT NOT NULL UNIQUE,
    UNIQUE (user_id, event_id)
);
CREATE INDEX events_by_time ON events (user_id, time_key, event_id);
)sql";

const char *const PostgresVersion1 = R"sql(
CREATE TABLE users (
    id BIGSERIAL PRIMARY KEY,
    name BYTEA NOT NULL UNIQUE,
    password_hash TEXT NOT NULL
);
CREATE TABLE events (
    user_id BIGINT NOT NULL REFERENCES users(id),
    event_id BYTEA NOT NULL,
    name BYTEA NOT NULL,
    path BYTEA NOT NULL,
    type BYTEA NOT NULL,
    content BYTEA NOT NULL,
    description BYTEA NOT NULL,
    record_time BYTEA NOT NULL,
    record_changed BYTEA NOT NULL,
    time_key BIGINT NOT NULL,
    access_id BIGINT NOT NULL,
    size BIGINT NOT NULL,
    storage TEXT NOT NULL UNIQUE,
    UNIQUE (user_id, event_id)
);
CREATE INDEX events_by_time ON events (user_id, time_key, event_id);
)sql";

// Version 2: the SHA-256 of every stored file, kept with its event.
const char *const SqliteVersion2 = "ALTER TABLE events ADD COLUMN sha256 BLOB";
const char *const PostgresVersion2 = "ALTER TABLE events ADD COLUMN sha256 BYTEA";

// Version 3: the id of the service, also kept in its data folder, so that a
// server never takes the files of one database for strays of another.
const char *const Version3 = "CREATE TABLE service (id TEXT NOT NULL)";

// Version 4: the highest account id ever given on SQLite, which would give
// the id of a removed last account to the next one (PostgreSQL's sequence
// never gives an id twice).
const char *const SqliteVersion4
    = "CREATE TABLE account_ids (last INTEGER NOT NULL);"
      "INSERT INTO account_ids (last) SELECT coalesce(max(id), 0) FROM users";

// Version 5: the BlockSums of every file stored since, which let a download
// check each block it sends; older events keep being checked by their SHA-256.
const char *const SqliteVersion5 = "ALTER TABLE events ADD COLUMN block_sums BLOB";
const char *const PostgresVersion5 = "ALTER TABLE events ADD COLUMN block_sums BYTEA";

// Version 6: aborts of multipart uploads that the store did not take, tried
// again by any server until it does.
const char *const Version6 = "CREATE TABLE pending_aborts (object_key TEXT NOT NULL, "
                             "upload_id TEXT NOT NULL, PRIMARY KEY (object_key, upload_id))";

// Version 7: the leases of multipart uploads being written, renewed by their
// server while it lives (expires: milliseconds since 1970).
const char *const Version7 = "CREATE TABLE upload_leases (object_key TEXT NOT NULL, "
                             "upload_id TEXT NOT NULL, expires BIGINT NOT NULL, "
                             "PRIMARY KEY (object_key, upload_id))";

std::string migrateHint(const std::string &location)
{
    return "run \"quorvane-server migrate --database " + Database::describe(location) + "\" first";
}

} // namespace

void Schema::step(Database &db, int version)
{
    const bool sqlite = db.kind() == Database::Kind::SQLite;
    switch (version) {
    case 1:
        db.execute(sqlite ? SqliteVersion1 : PostgresVersion1);
        break;
    case 2:
        db.execute(sqlite ? SqliteVersion2 : PostgresVersion2);
        break;
    case 3:
        db.execute(Version3);
        break;
    case 4:
        if (sqlite)
            db.execute(SqliteVersion4);
        break;
    case 5:
        db.execute(sqlite ? SqliteVersion5 : PostgresVersion5);
        break;
    case 6:
        db.execute(Version6);
        break;
    case 7:
        db.execute(Version7);
        break;
    }
    db.setSchemaVersion(version);
}

void Schema::prepare(Database &db, const std::string &location)
{
    std::lock_guard<std::mutex> lock(db.mutex());
    Transaction transaction(db);
    const int found = db.schemaVersion();
    if (found > CurrentVersion)
        throw DatabaseError(Database::describe(location) + " has schema version "
                            + std::to_string(found) + ", newer than this quorvane-server knows ("
                            + std::to_string(CurrentVersion) + "); run a newer quorvane-server");
    if (found > 0 && found < CurrentVersion)
        throw DatabaseError(Database::describe(location) + " has schema version "
                            + std::to_string(found) + " of an older quorvane-server; "
                            + migrateHint(location));
    if (found == 0) {
        for (int version = 1; version <= CurrentVersion; ++version)
            step(db, version);
    }
    transaction.commit();
}

void Schema::requireCurrent(Database &db, const std::string &location)
{
    std::lock_guard<std::mutex> lock(db.mutex());
    Transaction transaction(db);
    const int found = db.schemaVersion();
    if (found == 0)
        throw DatabaseError(Database::describe(location) + " holds no quorvane-server database");
    if (found < CurrentVersion)
        throw DatabaseError(Database::describe(location) + " has schema version "
                            + std::to_string(found) + " of an older quorvane-server; "
                            + migrateHint(location));
    if (found > CurrentVersion)
        throw DatabaseError(Database::describe(location) + " has schema version "
                            + std::to_string(found) + ", newer than this quorvane-server knows ("
                            + std::to_string(CurrentVersion) + ")");
    transaction.commit();
}

Schema::Migration Schema::migrate(Database &db, const std::string &location,
                                  const FileDigest &digest)
{
    std::lock_guard<std::mutex> lock(db.mutex());
    Transaction transaction(db);
    Migration migration;
    migration.from = db.schemaVersion();
    migration.to = CurrentVersion;
    if (migration.from > CurrentVersion)
        throw DatabaseError(
            Database::describe(location) + " has schema version " + std::to_string(migration.from)
            + ", newer than this quorvane-server knows (" + std::to_string(CurrentVersion) + ")");
    for (int version = migration.from + 1; version <= CurrentVersion; ++version)
        step(db, version);

    // Events stored before hashes were kept get the hash of their file now.
    struct Unhashed
    {
        int64_t user;
        std::string id;
        std::string storage;
    };
    std::vector<Unhashed> rows;
    {
        Statement select(db, "SELECT user_id, event_id, storage FROM events WHERE sha256 IS NULL");
        while (select.step())
            rows.push_back({ select.integer(0), select.bytes(1), select.bytes(2) });
    }
    for (const Unhashed &row : rows) {
        std::string hash;
        try {
            hash = digest(row.storage);
        } catch (const DatabaseError &) {
            // A store that does not answer has lost nothing: try again later.
            throw;
        } catch (const std::exception &) {
            // Kept without a hash: the event is not dropped for a lost file.
            ++migration.missingFiles;
            continue;
        }
        Statement(db, "UPDATE events SET sha256 = ?3 WHERE user_id = ?1 AND event_id = ?2")
            .bind(1, row.user)
            .bind(2, row.id)
            .bind(3, hash)
            .step();
        ++migration.hashed;
    }
    transaction.commit();
    return migration;
}

} // namespace QuorvaneServer
