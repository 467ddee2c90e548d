#include "store/Database.h"

#include "store/Statement.h"
#include "store/Transaction.h"

#include <cerrno>

namespace QuorvaneServer {

namespace {

constexpr int SchemaVersion = 2;

const char *const Schema = R"sql(
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
    sha256 BLOB,
    UNIQUE (user_id, event_id)
);
CREATE INDEX events_by_time ON events (user_id, time_key, event_id);
PRAGMA user_version = 2;
)sql";

// Events stored before files were hashed keep a NULL hash.
const char *const AddFileHash = R"sql(
ALTER TABLE events ADD COLUMN sha256 BLOB;
PRAGMA user_version = 2;
)sql";

} // namespace

Database::Database(const std::string &path)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string error = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw DatabaseError("cannot open " + path + ": " + error);
    }
    sqlite3_busy_timeout(m_db, 10000);
    execute("PRAGMA journal_mode = WAL");
    execute("PRAGMA synchronous = FULL");
    execute("PRAGMA foreign_keys = ON");

    Transaction transaction(*this);
    Statement version(*this, "PRAGMA user_version");
    version.step();
    const int64_t found = version.integer(0);
    if (found == 0)
        execute(Schema);
    else if (found == 1)
        execute(AddFileHash);
    else if (found > SchemaVersion)
        throw DatabaseError(path + " was made by a newer quorvane-server");
    transaction.commit();
}

Database::~Database()
{
    sqlite3_close(m_db);
}

void Database::execute(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        throw DatabaseError(text, diskFull());
    }
}

void Database::fail(const std::string &what) const
{
    throw DatabaseError(what + ": " + sqlite3_errmsg(m_db), diskFull());
}

bool Database::diskFull() const
{
    // SQLite reports a full disk as SQLITE_FULL or, while syncing, as an I/O error.
    const int code = sqlite3_extended_errcode(m_db);
    if (code == SQLITE_FULL)
        return true;
    return sqlite3_system_errno(m_db) == ENOSPC || sqlite3_system_errno(m_db) == EDQUOT;
}

} // namespace QuorvaneServer
