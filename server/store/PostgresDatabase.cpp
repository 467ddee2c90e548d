#include "store/PostgresDatabase.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <vector>

namespace QuorvaneServer {

namespace {

constexpr Oid ByteaOid = 17;
constexpr Oid Int8Oid = 20;
constexpr Oid Int2Oid = 21;
constexpr Oid Int4Oid = 23;
constexpr Oid TextOid = 25;
constexpr Oid BoolOid = 16;

// Writers of every server on this database queue on this lock, so that a
// transaction sees what the one before it committed, as on SQLite.
// The transaction's id comes with it, for learning a lost COMMIT's outcome.
const char *const WriterLock = "SELECT txid_current() FROM pg_advisory_xact_lock(7348210561)";

const char *const ApplicationName = "quorvane-server";

// Said on every new connection.
const char *const SessionSettings = "SET client_min_messages = warning";

// The statements say ?1, ?2 ...; libpq wants $1, $2 ...
std::string dollarParameters(const char *sql)
{
    std::string out(sql);
    for (char &c : out)
        if (c == '?')
            c = '$';
    return out;
}

uint64_t bigEndian(const char *data, int size)
{
    uint64_t value = 0;
    for (int i = 0; i < size; ++i)
        value = (value << 8) | static_cast<unsigned char>(data[i]);
    return value;
}

class PostgresQuery : public Database::Query
{
public:
    PostgresQuery(PostgresDatabase &db, const char *sql)
        : m_db(db)
        , m_sql(dollarParameters(sql))
    {
    }
    ~PostgresQuery() override { PQclear(m_result); }

    void bindInteger(int index, int64_t value) override
    {
        std::string bytes(8, '\0');
        for (int i = 7; i >= 0; --i) {
            bytes[static_cast<size_t>(i)] = static_cast<char>(value & 0xff);
            value = static_cast<int64_t>(static_cast<uint64_t>(value) >> 8);
        }
        set(index, Int8Oid, std::move(bytes));
    }
    void bindBytes(int index, const std::string &bytes) override { set(index, ByteaOid, bytes); }
    void bindText(int index, const std::string &text) override { set(index, TextOid, text); }
    void bindNull(int index) override
    {
        set(index, ByteaOid, std::string());
        m_null[static_cast<size_t>(index - 1)] = true;
    }

    bool step() override
    {
        if (!m_result) {
            std::vector<const char *> values;
            std::vector<int> lengths;
            std::vector<int> formats(m_values.size(), 1);
            for (size_t i = 0; i < m_values.size(); ++i) {
                values.push_back(m_null[i] ? nullptr : m_values[i].data());
                lengths.push_back(static_cast<int>(m_values[i].size()));
            }
            m_result = m_db.run(m_sql, static_cast<int>(m_values.size()), m_types.data(),
                                values.data(), lengths.data(), formats.data());
            m_row = -1;
        }
        return ++m_row < PQntuples(m_result);
    }
    int64_t integer(int column) const override
    {
        if (PQgetisnull(m_result, m_row, column))
            return 0;
        const char *data = PQgetvalue(m_result, m_row, column);
        const int size = PQgetlength(m_result, m_row, column);
        switch (PQftype(m_result, column)) {
        case Int8Oid:
            return static_cast<int64_t>(bigEndian(data, size));
        case Int4Oid:
            return static_cast<int32_t>(bigEndian(data, size));
        case Int2Oid:
            return static_cast<int16_t>(bigEndian(data, size));
        case BoolOid:
            return data[0] != 0;
        default:
            throw DatabaseError("a column is not a number");
        }
    }
    std::string bytes(int column) const override
    {
        return std::string(PQgetvalue(m_result, m_row, column),
                           static_cast<size_t>(PQgetlength(m_result, m_row, column)));
    }
    bool isNull(int column) const override { return PQgetisnull(m_result, m_row, column); }

private:
    void set(int index, Oid type, std::string value)
    {
        const size_t slot = static_cast<size_t>(index - 1);
        if (m_values.size() <= slot) {
            m_values.resize(slot + 1);
            m_types.resize(slot + 1, ByteaOid);
            m_null.resize(slot + 1, false);
        }
        m_null[slot] = false;
        m_values[slot] = std::move(value);
        m_types[slot] = type;
    }

    PostgresDatabase &m_db;
    std::string m_sql;
    std::vector<std::string> m_values;
    std::vector<Oid> m_types;
    std::vector<bool> m_null;
    PGresult *m_result = nullptr;
    int m_row = -1;
};

std::string connectionError(PGconn *connection)
{
    std::string text = connection ? PQerrorMessage(connection) : "the connection is closed";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

} // namespace

PostgresDatabase::PostgresDatabase(const std::string &uri, std::chrono::milliseconds timeout)
    : m_uri(uri)
    , m_timeout(timeout)
{
    // Connects this thread at once, so that a wrong address fails the start.
    link();
}

PostgresDatabase::~PostgresDatabase()
{
    for (auto &[thread, link] : m_links)
        PQfinish(link->connection);
}

PostgresDatabase::Link &PostgresDatabase::link() const
{
    std::lock_guard<std::mutex> lock(m_linksMutex);
    std::unique_ptr<Link> &found = m_links[std::this_thread::get_id()];
    if (found)
        return *found;
    auto made = std::make_unique<Link>();
    made->connection = connect();
    if (PQstatus(made->connection) != CONNECTION_OK) {
        const std::string error = connectionError(made->connection);
        PQfinish(made->connection);
        m_links.erase(std::this_thread::get_id());
        throw DatabaseError("cannot connect to " + describe(m_uri) + ": " + error,
                            DatabaseError::Cause::Unavailable);
    }
    found = std::move(made);
    return *found;
}

PGconn *PostgresDatabase::connect() const
{
    // The bounds come before the URI, which may set its own.
    const long long seconds = (m_timeout.count() + 999) / 1000;
    const std::string connectTimeout = std::to_string(std::max(2LL, seconds));
    const std::string userTimeout = std::to_string(m_timeout.count());
    std::vector<const char *> keys;
    std::vector<const char *> values;
    if (m_timeout.count() > 0) {
        keys = { "connect_timeout", "tcp_user_timeout" };
        values = { connectTimeout.c_str(), userTimeout.c_str() };
    }
    // Named, so that copy can tell whether servers still use a database.
    keys.insert(keys.end(), { "dbname", "fallback_application_name", nullptr });
    values.insert(values.end(), { m_uri.c_str(), ApplicationName, nullptr });
    PGconn *connection = PQconnectdbParams(keys.data(), values.data(), 1);
    if (PQstatus(connection) != CONNECTION_OK)
        return connection;
    // Statements are sent without blocking, so that their waits are bounded.
    PQsetnonblocking(connection, 1);
    Link setting;
    setting.connection = connection;
    try {
        std::string settings = SessionSettings;
        if (m_timeout.count() > 0) {
            // A server cut off from us mid-transaction would keep the writer
            // lock until its TCP gave up (hours): the database ends such a
            // session itself, and probes a silent peer.
            settings += "; SET idle_in_transaction_session_timeout = "
                + std::to_string(2 * m_timeout.count()) + "; SET tcp_keepalives_idle = "
                + std::to_string(std::max(1LL, seconds)) + "; SET tcp_keepalives_interval = 1";
        }
        PGresult *result = exchange(
            setting, [&settings](PGconn *c) { return PQsendQuery(c, settings.c_str()); });
        PQclear(result);
    } catch (const DatabaseError &) {
        // Closed by the exchange: the caller sees a connection it cannot use.
    }
    return setting.connection;
}

PGresult *PostgresDatabase::exchange(Link &link, const std::function<int(PGconn *)> &start) const
{
    PGconn *connection = link.connection;
    if (!connection || !start(connection))
        return nullptr;
    using Clock = std::chrono::steady_clock;
    const bool bounded = m_timeout.count() > 0;
    const Clock::time_point deadline = Clock::now() + m_timeout;
    PGresult *kept = nullptr;
    for (;;) {
        int flushed = 0;
        while ((flushed = PQflush(connection)) == 1 || (flushed == 0 && PQisBusy(connection))) {
            int wait = -1;
            if (bounded) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now());
                wait = static_cast<int>(std::max<int64_t>(0, left.count()));
            }
            pollfd socket { PQsocket(connection), short(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0 };
            const int ready = wait == 0 ? 0 : ::poll(&socket, 1, wait);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready == 0) {
                // A stalled connection: whatever it still holds is given up.
                PQclear(kept);
                PQfinish(connection);
                link.connection = nullptr;
                throw DatabaseError("no answer from " + describe(m_uri) + " within "
                                        + std::to_string(m_timeout.count()) + " ms",
                                    DatabaseError::Cause::Unavailable);
            }
            if (ready < 0 || !PQconsumeInput(connection))
                break;
        }
        PGresult *result = PQgetResult(connection);
        if (!result)
            break;
        // As PQexec: a failure is kept over what follows it.
        const ExecStatusType status = PQresultStatus(kept);
        if (kept && status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            PQclear(result);
        } else {
            PQclear(kept);
            kept = result;
        }
        if (PQstatus(connection) == CONNECTION_BAD)
            break;
    }
    return kept;
}

void PostgresDatabase::reconnectIfLost(Link &link)
{
    // A restarted or failed-over database ends the connection; the next unit
    // of work gets a new one rather than failing for the life of the server.
    if (link.inTransaction || PQstatus(link.connection) == CONNECTION_OK)
        return;
    PQfinish(link.connection);
    link.connection = connect();
    if (PQstatus(link.connection) != CONNECTION_OK)
        throw DatabaseError("lost the connection to " + describe(m_uri) + ": "
                                + connectionError(link.connection),
                            DatabaseError::Cause::Unavailable);
}

PGresult *PostgresDatabase::run(const std::string &sql, int count, const Oid *types,
                                const char *const *values, const int *lengths, const int *formats)
{
    return send([&](PGconn *connection) {
        return PQsendQueryParams(connection, sql.c_str(), count, types, values, lengths, formats,
                                 1);
    });
}

PGresult *PostgresDatabase::send(const std::function<int(PGconn *)> &start)
{
    Link &current = link();
    reconnectIfLost(current);
    PGresult *result = exchange(current, start);
    // A connection the database ended (a restart, a fail-over) is made again
    // once, outside transactions only: inside one, what went before is lost.
    if (PQstatus(current.connection) == CONNECTION_BAD && !current.inTransaction) {
        PQclear(result);
        reconnectIfLost(current);
        result = exchange(current, start);
    }
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        const char *state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
        // Class 53: insufficient resources (53100 is a full disk).
        const bool full = state && std::strncmp(state, "53", 2) == 0;
        std::string error = result ? PQresultErrorMessage(result) : std::string();
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        const bool lost = PQstatus(current.connection) == CONNECTION_BAD;
        PQclear(result);
        if (error.empty())
            error = connectionError(current.connection);
        if (lost)
            throw DatabaseError("lost the connection to " + describe(m_uri) + ": " + error,
                                DatabaseError::Cause::Unavailable);
        throw DatabaseError(error, full);
    }
    const char *changed = PQcmdTuples(result);
    current.changes = changed && *changed ? std::strtoll(changed, nullptr, 10) : 0;
    return result;
}

std::unique_ptr<Database::Query> PostgresDatabase::prepare(const char *sql)
{
    return std::make_unique<PostgresQuery>(*this, sql);
}

void PostgresDatabase::execute(const char *sql)
{
    PQclear(send([sql](PGconn *connection) { return PQsendQuery(connection, sql); }));
}

void PostgresDatabase::begin()
{
    execute("BEGIN");
    link().inTransaction = true;
    try {
        PostgresQuery id(*this, WriterLock);
        id.step();
        link().transactionId = id.integer(0);
    } catch (...) {
        rollback();
        throw;
    }
}

void PostgresDatabase::commit()
{
    // Sent once, on this connection only: COMMIT sent again on a new
    // connection "succeeds" with nothing to commit.
    Link &current = link();
    try {
        execute("COMMIT");
    } catch (const DatabaseError &failure) {
        current.inTransaction = false;
        if (!failure.unavailable())
            throw;
        learnCommitOutcome(current, failure.what());
    }
    current.inTransaction = false;
}

void PostgresDatabase::learnCommitOutcome(Link &current, const std::string &error)
{
    // A new connection asks what became of the transaction. While its old
    // backend has not yet seen the cut, it is still in progress.
    const std::string id = std::to_string(current.transactionId);
    const char *values[] = { id.c_str() };
    // Asked for a few seconds, each question bounded by the timeout.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (bool first = true; first || std::chrono::steady_clock::now() < until; first = false) {
        if (!first)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        PQfinish(current.connection);
        current.connection = connect();
        if (PQstatus(current.connection) != CONNECTION_OK)
            continue;
        std::string status;
        try {
            PGresult *result = exchange(current, [&values](PGconn *connection) {
                return PQsendQueryParams(connection, "SELECT txid_status($1::bigint)", 1, nullptr,
                                         values, nullptr, nullptr, 0);
            });
            if (PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) == 1
                && !PQgetisnull(result, 0, 0))
                status = PQgetvalue(result, 0, 0);
            PQclear(result);
        } catch (const DatabaseError &) {
        }
        if (status == "committed")
            return;
        if (status == "aborted")
            throw DatabaseError(error + " (the transaction did not commit)",
                                DatabaseError::Cause::Unavailable);
    }
    throw DatabaseError(error + " (whether the transaction committed is unknown)",
                        DatabaseError::Cause::OutcomeUnknown);
}

void PostgresDatabase::rollback() noexcept
{
    try {
        Link &current = link();
        current.inTransaction = false;
        PQclear(exchange(current,
                         [](PGconn *connection) { return PQsendQuery(connection, "ROLLBACK"); }));
    } catch (...) {
    }
}

int PostgresDatabase::schemaVersion()
{
    PostgresQuery exists(*this, "SELECT to_regclass('quorvane_schema') IS NOT NULL");
    exists.step();
    if (!exists.integer(0))
        return 0;
    PostgresQuery version(*this, "SELECT version FROM quorvane_schema");
    return version.step() ? static_cast<int>(version.integer(0)) : 0;
}

void PostgresDatabase::setSchemaVersion(int version)
{
    execute("CREATE TABLE IF NOT EXISTS quorvane_schema (version INTEGER NOT NULL)");
    execute("DELETE FROM quorvane_schema");
    execute(
        ("INSERT INTO quorvane_schema (version) VALUES (" + std::to_string(version) + ")").c_str());
}

void PostgresDatabase::ping()
{
    execute("SELECT 1");
}

} // namespace QuorvaneServer
