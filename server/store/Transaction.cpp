#include "store/Transaction.h"

#include "store/Database.h"

namespace QuorvaneServer {

Transaction::Transaction(Database &db)
    : m_db(db)
{
    m_db.execute("BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (m_open)
        sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit()
{
    m_db.execute("COMMIT");
    m_open = false;
}

} // namespace QuorvaneServer
