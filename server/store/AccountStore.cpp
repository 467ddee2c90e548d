#include "store/AccountStore.h"

#include "store/Database.h"
#include "store/FileStore.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <vector>

namespace QuorvaneServer {

AccountStore::AccountStore(Database &db, const FileStore &files)
    : m_db(db)
    , m_files(files)
{
}

std::optional<AccountStore::Account> AccountStore::find(const std::string &name)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    Statement select(m_db, "SELECT id, password_hash FROM users WHERE name = ?1");
    select.bind(1, name);
    if (!select.step())
        return std::nullopt;
    return Account { select.integer(0), select.bytes(1) };
}

bool AccountStore::add(const std::string &name, const std::string &passwordHash)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    Transaction transaction(m_db);
    Statement exists(m_db, "SELECT 1 FROM users WHERE name = ?1");
    exists.bind(1, name);
    if (exists.step())
        return false;
    if (m_db.kind() == Database::Kind::SQLite) {
        // Ids are never given twice: a request of a removed account must not
        // land in the next one's.
        Statement(m_db,
                  "UPDATE account_ids SET last = max(last, (SELECT coalesce(max(id), 0) FROM "
                  "users)) + 1")
            .step();
        Statement insert(m_db,
                         "INSERT INTO users (id, name, password_hash) VALUES ((SELECT last FROM "
                         "account_ids), ?1, ?2)");
        insert.bind(1, name).bindText(2, passwordHash).step();
    } else {
        Statement insert(m_db, "INSERT INTO users (name, password_hash) VALUES (?1, ?2)");
        insert.bind(1, name).bindText(2, passwordHash).step();
    }
    transaction.commit();
    return true;
}

bool AccountStore::setPasswordHash(const std::string &name, const std::string &passwordHash)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    Transaction transaction(m_db);
    Statement update(m_db, "UPDATE users SET password_hash = ?2 WHERE name = ?1");
    update.bind(1, name).bindText(2, passwordHash).step();
    const bool changed = m_db.changes() > 0;
    transaction.commit();
    return changed;
}

std::vector<AccountStore::Summary> AccountStore::list()
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    Statement select(m_db,
                     "SELECT u.name, count(e.event_id), CAST(coalesce(sum(e.size), 0) AS "
                     "BIGINT) FROM users u LEFT JOIN events e ON e.user_id = u.id "
                     "GROUP BY u.id, u.name ORDER BY u.name");
    std::vector<Summary> users;
    while (select.step())
        users.push_back({ select.bytes(0), static_cast<uint64_t>(select.integer(1)),
                          static_cast<uint64_t>(select.integer(2)) });
    return users;
}

bool AccountStore::remove(const std::string &name, size_t *removedEvents)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    std::vector<std::string> storage;
    {
        Transaction transaction(m_db);
        Statement user(m_db, "SELECT id FROM users WHERE name = ?1");
        user.bind(1, name);
        if (!user.step())
            return false;
        const int64_t id = user.integer(0);
        Statement files(m_db, "SELECT storage FROM events WHERE user_id = ?1");
        files.bind(1, id);
        while (files.step())
            storage.push_back(files.bytes(0));
        Statement(m_db, "DELETE FROM events WHERE user_id = ?1").bind(1, id).step();
        Statement(m_db, "DELETE FROM users WHERE id = ?1").bind(1, id).step();
        transaction.commit();
    }
    // Files go only after the commit: a crash in between leaves strays that
    // the next server start sweeps, never an event without its file.
    for (const std::string &stored : storage)
        m_files.remove(stored);
    if (removedEvents)
        *removedEvents = storage.size();
    return true;
}

} // namespace QuorvaneServer
