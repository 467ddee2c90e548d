#pragma once

#include "store/Database.h"

#include <libpq-fe.h>

namespace QuorvaneServer {

// A PostgreSQL database shared by any number of server processes.
class PostgresDatabase : public Database
{
public:
    explicit PostgresDatabase(const std::string &uri);
    ~PostgresDatabase() override;

    Kind kind() const override { return Kind::PostgreSQL; }
    std::unique_ptr<Query> prepare(const char *sql) override;
    void execute(const char *sql) override;
    void begin() override;
    void commit() override;
    void rollback() noexcept override;
    int64_t changes() const override { return m_changes; }
    int schemaVersion() override;
    void setSchemaVersion(int version) override;
    void ping() override;

    // Runs a statement; the result, which the caller clears. Throws on failure.
    PGresult *run(const std::string &sql, int count, const Oid *types, const char *const *values,
                  const int *lengths, const int *formats);

private:
    void reconnectIfLost();

    std::string m_uri;
    PGconn *m_connection = nullptr;
    int64_t m_changes = 0;
    bool m_inTransaction = false;
};

} // namespace QuorvaneServer
