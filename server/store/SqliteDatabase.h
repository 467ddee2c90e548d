#pragma once

#include "store/Database.h"

#include <sqlite3.h>

namespace QuorvaneServer {

// One SQLite file: write-ahead log, full sync on every commit.
class SqliteDatabase : public Database
{
public:
    explicit SqliteDatabase(const std::string &path);
    ~SqliteDatabase() override;

    Kind kind() const override { return Kind::SQLite; }
    std::unique_ptr<Query> prepare(const char *sql) override;
    void execute(const char *sql) override;
    void begin() override;
    void commit() override;
    void rollback() noexcept override;
    int64_t changes() const override;
    int schemaVersion() override;
    void setSchemaVersion(int version) override;
    void ping() override;

    [[noreturn]] void fail(const std::string &what) const;

private:
    sqlite3 *m_db = nullptr;
};

} // namespace QuorvaneServer
