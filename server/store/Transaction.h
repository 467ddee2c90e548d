#pragma once

namespace QuorvaneServer {

class Database;

// A write transaction of the database; rolled back when left without commit().
class Transaction
{
public:
    explicit Transaction(Database &db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit();

private:
    Database &m_db;
    bool m_open = true;
};

} // namespace QuorvaneServer
