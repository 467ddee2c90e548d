#pragma once

#include "store/Database.h"

#include <chrono>
#include <functional>
#include <libpq-fe.h>
#include <map>
#include <thread>

namespace QuorvaneServer {

// A PostgreSQL database shared by any number of server processes; each thread
// works on a connection of its own, made at its first use. With a timeout,
// a connection that answers a statement no sooner is dropped as lost.
class PostgresDatabase : public Database
{
public:
    explicit PostgresDatabase(const std::string &uri,
                              std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    ~PostgresDatabase() override;

    Kind kind() const override { return Kind::PostgreSQL; }
    std::mutex &mutex() override { return link().mutex; }
    std::unique_ptr<Query> prepare(const char *sql) override;
    void execute(const char *sql) override;
    void begin() override;
    void commit() override;
    void rollback() noexcept override;
    int64_t changes() const override { return link().changes; }
    int schemaVersion() override;
    void setSchemaVersion(int version) override;
    void ping() override;

    // Runs a statement; the result, which the caller clears. Throws on failure.
    PGresult *run(const std::string &sql, int count, const Oid *types, const char *const *values,
                  const int *lengths, const int *formats);

private:
    struct Link
    {
        PGconn *connection = nullptr;
        int64_t changes = 0;
        bool inTransaction = false;
        // txid_current() of the open transaction, to learn a lost COMMIT's outcome.
        int64_t transactionId = 0;
        std::mutex mutex;
    };
    Link &link() const;
    PGconn *connect() const;
    // Sends a statement (start is PQsend...) and waits, within the timeout,
    // for its results: the first failed one or the last. Throws when the
    // connection stalls, which is then closed.
    PGresult *exchange(Link &link, const std::function<int(PGconn *)> &start) const;
    PGresult *send(const std::function<int(PGconn *)> &start);
    void reconnectIfLost(Link &link);
    void learnCommitOutcome(Link &link, const std::string &error);

    std::string m_uri;
    std::chrono::milliseconds m_timeout;
    mutable std::mutex m_linksMutex;
    mutable std::map<std::thread::id, std::unique_ptr<Link>> m_links;
};

} // namespace QuorvaneServer
