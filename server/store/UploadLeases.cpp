#include "store/UploadLeases.h"

#include "store/Database.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <algorithm>

namespace QuorvaneServer {

namespace {

// Wall time, as the servers sharing the database each read their own clock.
int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

UploadLeases::UploadLeases(std::chrono::milliseconds length)
    : m_length(std::max(length, std::chrono::milliseconds(100)))
{
}

UploadLeases::~UploadLeases()
{
    detach();
}

void UploadLeases::attach(Database &db)
{
    start(db, [this] { run(); });
}

void UploadLeases::detach()
{
    stop();
}

void UploadLeases::add(const std::string &key, const std::string &uploadId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_live.emplace(key, uploadId);
    m_dirty = true;
    m_changed.notify_all();
}

void UploadLeases::remove(const std::string &key, const std::string &uploadId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_live.erase({ key, uploadId }) == 0)
        return;
    m_gone.emplace_back(key, uploadId);
    m_dirty = true;
    m_changed.notify_all();
}

void UploadLeases::run()
{
    // Renewed well before they run out: a late round or two costs nothing.
    const auto renewal = m_length / 4;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const auto woken = [this] { return m_stopping || m_dirty; };
        if (m_live.empty() && m_gone.empty())
            m_changed.wait(lock, woken);
        else
            m_changed.wait_for(lock, renewal, woken);
        if (m_stopping) {
            // What completed or was aborted leaves no lease behind, as a
            // command ends right after; the leases still held run out.
            if (!m_gone.empty()) {
                std::vector<Upload> gone;
                gone.swap(m_gone);
                Database &db = *m_db;
                lock.unlock();
                write(db, {}, gone);
            }
            return;
        }
        const std::set<Upload> live = m_live;
        std::vector<Upload> gone;
        gone.swap(m_gone);
        m_dirty = false;
        Database &db = *m_db;
        lock.unlock();
        const bool written = write(db, live, gone);
        lock.lock();
        if (!written) {
            // Tried again at the next renewal; an upload leased anew since
            // keeps its lease.
            for (const Upload &upload : gone) {
                if (m_live.count(upload) == 0)
                    m_gone.push_back(upload);
            }
        }
    }
}

bool UploadLeases::write(Database &db, const std::set<Upload> &live,
                         const std::vector<Upload> &gone)
{
    try {
        std::lock_guard<std::mutex> lock(db.mutex());
        for (const auto &[key, uploadId] : gone) {
            Statement(db, "DELETE FROM upload_leases WHERE object_key = ?1 AND upload_id = ?2")
                .bindText(1, key)
                .bindText(2, uploadId)
                .step();
        }
        const int64_t expires = nowMs() + m_length.count();
        for (const auto &[key, uploadId] : live) {
            Statement(db,
                      "INSERT INTO upload_leases (object_key, upload_id, expires) "
                      "VALUES (?1, ?2, ?3) ON CONFLICT (object_key, upload_id) "
                      "DO UPDATE SET expires = excluded.expires")
                .bindText(1, key)
                .bindText(2, uploadId)
                .bind(3, expires)
                .step();
        }
        return true;
    } catch (const DatabaseError &) {
        return false;
    }
}

std::set<UploadLeases::Upload> UploadLeases::expire(Database &db)
{
    std::lock_guard<std::mutex> lock(db.mutex());
    Transaction transaction(db);
    const int64_t now = nowMs();
    Statement(db,
              "INSERT INTO pending_aborts (object_key, upload_id) SELECT object_key, upload_id "
              "FROM upload_leases WHERE expires < ?1 ON CONFLICT DO NOTHING")
        .bind(1, now)
        .step();
    Statement(db, "DELETE FROM upload_leases WHERE expires < ?1").bind(1, now).step();
    std::set<Upload> running;
    Statement select(db, "SELECT object_key, upload_id FROM upload_leases");
    while (select.step())
        running.emplace(select.bytes(0), select.bytes(1));
    transaction.commit();
    return running;
}

} // namespace QuorvaneServer
