#include "store/Statement.h"

namespace QuorvaneServer {

Statement::Statement(Database &db, const char *sql)
    : m_query(db.prepare(sql))
{
}

Statement &Statement::bind(int index, int64_t value)
{
    m_query->bindInteger(index, value);
    return *this;
}

Statement &Statement::bind(int index, const std::string &bytes)
{
    m_query->bindBytes(index, bytes);
    return *this;
}

Statement &Statement::bindText(int index, const std::string &text)
{
    m_query->bindText(index, text);
    return *this;
}

Statement &Statement::bindNull(int index)
{
    m_query->bindNull(index);
    return *this;
}

bool Statement::step()
{
    return m_query->step();
}

int64_t Statement::integer(int column) const
{
    return m_query->integer(column);
}

std::string Statement::bytes(int column) const
{
    return m_query->bytes(column);
}

bool Statement::isNull(int column) const
{
    return m_query->isNull(column);
}

} // namespace QuorvaneServer
