#include "store/SqliteDatabase.h"

namespace QuorvaneServer {

namespace {

class SqliteQuery : public Database::Query
{
public:
    SqliteQuery(SqliteDatabase &db, sqlite3 *handle, const char *sql)
        : m_db(db)
    {
        if (sqlite3_prepare_v2(handle, sql, -1, &m_statement, nullptr) != SQLITE_OK)
            db.fail("cannot prepare a statement");
    }
    ~SqliteQuery() override { sqlite3_finalize(m_statement); }

    void bindInteger(int index, int64_t value) override
    {
        check(sqlite3_bind_int64(m_statement, index, value));
    }
    void bindBytes(int index, const std::string &bytes) override
    {
        // data() is never null, so an empty value binds as an empty blob, not NULL.
        check(
            sqlite3_bind_blob64(m_statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT));
    }
    void bindText(int index, const std::string &text) override
    {
        check(sqlite3_bind_text64(m_statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                                  SQLITE_UTF8));
    }
    void bindNull(int index) override { check(sqlite3_bind_null(m_statement, index)); }
    bool step() override
    {
        const int result = sqlite3_step(m_statement);
        if (result == SQLITE_ROW)
            return true;
        if (result == SQLITE_DONE)
            return false;
        m_db.fail("a statement failed");
    }
    int64_t integer(int column) const override { return sqlite3_column_int64(m_statement, column); }
    std::string bytes(int column) const override
    {
        const void *data = sqlite3_column_blob(m_statement, column);
        const int size = sqlite3_column_bytes(m_statement, column);
        return data ? std::string(static_cast<const char *>(data), static_cast<size_t>(size))
                    : std::string();
    }
    bool isNull(int column) const override
    {
        return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
    }

private:
    void check(int result)
    {
        if (result != SQLITE_OK)
            m_db.fail("cannot bind a value");
    }

    SqliteDatabase &m_db;
    sqlite3_stmt *m_statement = nullptr;
};

} // namespace

SqliteDatabase::SqliteDatabase(const std::string &path)
{
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr) != SQLITE_OK) {
        const std::string error = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw DatabaseError("cannot open " + path + ": " + error);
    }
    sqlite3_busy_timeout(m_db, 10000);
    try {
        execute("PRAGMA journal_mode = WAL");
        execute("PRAGMA synchronous = FULL");
        execute("PRAGMA foreign_keys = ON");
    } catch (...) {
        sqlite3_close(m_db);
        throw;
    }
}

SqliteDatabase::~SqliteDatabase()
{
    sqlite3_close(m_db);
}

std::unique_ptr<Database::Query> SqliteDatabase::prepare(const char *sql)
{
    return std::make_unique<SqliteQuery>(*this, m_db, sql);
}

void SqliteDatabase::execute(const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string text = error ? error : sqlite3_errmsg(m_db);
        sqlite3_free(error);
        const int code = sqlite3_errcode(m_db);
        throw DatabaseError(text, code == SQLITE_FULL);
    }
}

void SqliteDatabase::begin()
{
    execute("BEGIN IMMEDIATE");
}

void SqliteDatabase::commit()
{
    execute("COMMIT");
}

void SqliteDatabase::rollback() noexcept
{
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
}

int64_t SqliteDatabase::changes() const
{
    return sqlite3_changes64(m_db);
}

int SqliteDatabase::schemaVersion()
{
    SqliteQuery version(*this, m_db, "PRAGMA user_version");
    version.step();
    return static_cast<int>(version.integer(0));
}

void SqliteDatabase::setSchemaVersion(int version)
{
    execute(("PRAGMA user_version = " + std::to_string(version)).c_str());
}

void SqliteDatabase::ping()
{
    SqliteQuery(*this, m_db, "SELECT count(*) FROM sqlite_schema").step();
}

void SqliteDatabase::fail(const std::string &what) const
{
    const int code = sqlite3_errcode(m_db);
    throw DatabaseError(what + ": " + sqlite3_errmsg(m_db), code == SQLITE_FULL);
}

} // namespace QuorvaneServer
