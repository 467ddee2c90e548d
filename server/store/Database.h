#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace QuorvaneServer {

class DatabaseError : public std::runtime_error
{
public:
    enum class Cause { Failed, Full, Unavailable, OutcomeUnknown };
    explicit DatabaseError(const std::string &what, bool full = false)
        : std::runtime_error(what)
        , m_cause(full ? Cause::Full : Cause::Failed)
    {
    }
    DatabaseError(const std::string &what, Cause cause)
        : std::runtime_error(what)
        , m_cause(cause)
    {
    }
    // The database has no room left: the request answers 507, not 500.
    bool full() const { return m_cause == Cause::Full; }
    // The connection to the database broke: the request answers 503 and the
    // client tries again.
    bool unavailable() const
    {
        return m_cause == Cause::Unavailable || m_cause == Cause::OutcomeUnknown;
    }
    // The connection broke while COMMIT was on its way and whether it took
    // effect could not be learned: keep whatever the change may need.
    bool outcomeUnknown() const { return m_cause == Cause::OutcomeUnknown; }

private:
    Cause m_cause;
};

// The database of accounts and events, SQLite or PostgreSQL. Statements are
// written once for both, with ?1, ?2 ... as parameters. Threads take mutex()
// around each unit of work: one SQLite connection serves them in turn, while
// on PostgreSQL each thread has a connection of its own.
class Database
{
public:
    enum class Kind { SQLite, PostgreSQL };

    // One prepared statement of a back end.
    class Query
    {
    public:
        virtual ~Query() = default;
        virtual void bindInteger(int index, int64_t value) = 0;
        virtual void bindBytes(int index, const std::string &bytes) = 0;
        virtual void bindText(int index, const std::string &text) = 0;
        virtual void bindNull(int index) = 0;
        virtual bool step() = 0;
        virtual int64_t integer(int column) const = 0;
        virtual std::string bytes(int column) const = 0;
        virtual bool isNull(int column) const = 0;
    };

    // location is "sqlite:PATH" or a PostgreSQL URI ("postgresql://...");
    // throws DatabaseError. A PostgreSQL statement not answered within
    // timeout (when not 0) fails as a lost connection.
    static std::unique_ptr<Database> open(const std::string &location,
                                          std::chrono::milliseconds timeout = {});
    // Why location names no database we can open, or nullptr.
    static const char *locationProblem(const std::string &location);
    // The location without a password, for messages and logs.
    static std::string describe(const std::string &location);

    virtual ~Database() = default;
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    virtual Kind kind() const = 0;
    // Held around each unit of work of the calling thread.
    virtual std::mutex &mutex() { return m_mutex; }
    virtual std::unique_ptr<Query> prepare(const char *sql) = 0;
    // Statements without parameters, separated by semicolons.
    virtual void execute(const char *sql) = 0;
    // A write transaction: the writers of all processes on this database
    // take turns, as they do on one SQLite file.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() noexcept = 0;
    // Rows changed by the last INSERT, UPDATE or DELETE.
    virtual int64_t changes() const = 0;
    // 0 for an empty database; inside a transaction.
    virtual int schemaVersion() = 0;
    virtual void setSchemaVersion(int version) = 0;
    // A cheap round trip; throws when the database cannot be reached.
    virtual void ping() = 0;
    // After a bulk fill: PostgreSQL has no planner statistics until autovacuum
    // comes by, and reads every row meanwhile. A failure is only warned of:
    // the data is whole without them.
    void refreshStatistics();

protected:
    Database() = default;

private:
    std::mutex m_mutex;
};

} // namespace QuorvaneServer
