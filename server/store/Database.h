#pragma once

#include <mutex>
#include <sqlite3.h>
#include <stdexcept>
#include <string>

namespace QuorvaneServer {

class DatabaseError : public std::runtime_error
{
public:
    explicit DatabaseError(const std::string &what, bool full = false)
        : std::runtime_error(what)
        , m_full(full)
    {
    }
    // The disk or the database is full: nothing is wrong with the request.
    bool full() const { return m_full; }

private:
    bool m_full;
};

// The SQLite database of accounts and events: write-ahead log, full sync on
// every commit. Threads share the one connection and take mutex() around
// each unit of work.
class Database
{
public:
    // Opens or creates the database and its tables; throws DatabaseError.
    explicit Database(const std::string &path);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    sqlite3 *handle() const { return m_db; }
    std::mutex &mutex() { return m_mutex; }
    void execute(const char *sql);
    [[noreturn]] void fail(const std::string &what) const;
    // The last failure came from a full disk or database.
    bool diskFull() const;

private:
    sqlite3 *m_db = nullptr;
    std::mutex m_mutex;
};

} // namespace QuorvaneServer
