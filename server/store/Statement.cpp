#include "store/Statement.h"

#include "store/Database.h"

namespace QuorvaneServer {

Statement::Statement(Database &db, const char *sql)
    : m_db(db)
{
    if (sqlite3_prepare_v2(db.handle(), sql, -1, &m_statement, nullptr) != SQLITE_OK)
        db.fail("cannot prepare a statement");
}

Statement::~Statement()
{
    sqlite3_finalize(m_statement);
}

Statement &Statement::bind(int index, int64_t value)
{
    if (sqlite3_bind_int64(m_statement, index, value) != SQLITE_OK)
        m_db.fail("cannot bind a value");
    return *this;
}

Statement &Statement::bind(int index, const std::string &bytes)
{
    // data() is never null, so an empty value binds as an empty blob, not NULL.
    if (sqlite3_bind_blob64(m_statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT)
        != SQLITE_OK)
        m_db.fail("cannot bind a value");
    return *this;
}

Statement &Statement::bindText(int index, const std::string &text)
{
    if (sqlite3_bind_text64(m_statement, index, text.data(), text.size(), SQLITE_TRANSIENT,
                            SQLITE_UTF8)
        != SQLITE_OK)
        m_db.fail("cannot bind a value");
    return *this;
}

bool Statement::step()
{
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW)
        return true;
    if (result == SQLITE_DONE)
        return false;
    m_db.fail("a statement failed");
}

int64_t Statement::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

std::string Statement::bytes(int column) const
{
    const void *data = sqlite3_column_blob(m_statement, column);
    const int size = sqlite3_column_bytes(m_statement, column);
    return data ? std::string(static_cast<const char *>(data), static_cast<size_t>(size))
                : std::string();
}

} // namespace QuorvaneServer
