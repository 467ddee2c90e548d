#pragma once

#include "store/Database.h"

#include <cstdint>
#include <memory>
#include <string>

namespace QuorvaneServer {

// One prepared statement; throws DatabaseError on failure. Texts are bound as
// bytes: event fields and user names are bytes, not necessarily UTF-8.
class Statement
{
public:
    Statement(Database &db, const char *sql);

    Statement &bind(int index, int64_t value);
    Statement &bind(int index, const std::string &bytes);
    Statement &bindText(int index, const std::string &text);
    Statement &bindNull(int index);
    // True while there is a row to read.
    bool step();
    int64_t integer(int column) const;
    std::string bytes(int column) const;
    bool isNull(int column) const;

private:
    std::unique_ptr<Database::Query> m_query;
};

} // namespace QuorvaneServer
