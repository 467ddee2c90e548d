#pragma once

#include <cstdint>
#include <sqlite3.h>
#include <string>

namespace QuorvaneServer {

class Database;

// One prepared statement; throws DatabaseError on failure. Texts are bound as
// blobs: event fields and user names are bytes, not necessarily UTF-8.
class Statement
{
public:
    Statement(Database &db, const char *sql);
    ~Statement();
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    Statement &bind(int index, int64_t value);
    Statement &bind(int index, const std::string &bytes);
    Statement &bindText(int index, const std::string &text);
    // True while there is a row to read.
    bool step();
    int64_t integer(int column) const;
    std::string bytes(int column) const;

private:
    Database &m_db;
    sqlite3_stmt *m_statement = nullptr;
};

} // namespace QuorvaneServer
