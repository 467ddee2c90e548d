#pragma once

#include "store/Database.h"

namespace QuorvaneServer {

// A write transaction of the database; rolled back when left without commit().
class Transaction
{
public:
    explicit Transaction(Database &db);
    ~Transaction();
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    void commit();

    // Runs work, whole transactions, again from its start while the
    // connection to the database breaks where nothing of it can have been
    // stored: before its COMMIT was sent, or the COMMIT known not to have
    // taken effect. The next attempt connects anew. With mayRepeat, also when
    // whether the COMMIT took effect is unknown: for work that may be done twice.
    template<class Work> static auto retried(Work &&work, bool mayRepeat = false)
    {
        for (int attempt = 1;; ++attempt) {
            try {
                return work();
            } catch (const DatabaseError &failure) {
                if (attempt >= Attempts || !failure.unavailable()
                    || (failure.outcomeUnknown() && !mayRepeat))
                    throw;
            }
        }
    }

private:
    static constexpr int Attempts = 3;

    Database &m_db;
    bool m_open = true;
};

} // namespace QuorvaneServer
