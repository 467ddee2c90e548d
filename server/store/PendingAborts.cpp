#include "store/PendingAborts.h"

#include "store/Database.h"
#include "store/Statement.h"

#include <vector>

namespace QuorvaneServer {

namespace {

enum class Answer { Done, Again, Refused };

Answer aborted(const S3Client &client, const std::string &key, const std::string &uploadId)
{
    S3Client::Request abort;
    abort.method = "DELETE";
    abort.key = key;
    abort.query = "uploadId=" + S3Client::encode(uploadId, false);
    const S3Client::Response answer = client.send(abort);
    // Gone already: another server, or the store's own expiry, was first.
    if (answer.ok() || answer.status == 404)
        return Answer::Done;
    if (answer.status == 0 || answer.status == 429 || answer.status >= 500)
        return Answer::Again;
    // Trying again would not help; the day-old sweep is left.
    return Answer::Refused;
}

} // namespace

PendingAborts::PendingAborts(const S3Client &client)
    : m_client(client)
{
}

PendingAborts::~PendingAborts()
{
    detach();
}

void PendingAborts::attach(Database &db, std::chrono::milliseconds interval)
{
    stop();
    m_interval = interval;
    start(db, [this] { run(); });
}

void PendingAborts::detach()
{
    stop();
}

void PendingAborts::abort(const std::string &key, const std::string &uploadId)
{
    if (aborted(m_client, key, uploadId) != Answer::Again)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_db == nullptr || m_stopping)
        return;
    m_queue.emplace_back(key, uploadId);
    m_changed.notify_all();
}

void PendingAborts::run()
{
    // Rows another server, or an earlier run of this one, may have left.
    bool pending = true;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        const auto woken = [this] { return m_stopping || !m_queue.empty(); };
        if (pending)
            m_changed.wait_for(lock, m_interval, woken);
        else
            m_changed.wait(lock, woken);
        std::deque<std::pair<std::string, std::string>> queued;
        queued.swap(m_queue);
        const bool stopping = m_stopping;
        Database &db = *m_db;
        lock.unlock();
        if (!queued.empty()) {
            pending = true;
            if (!store(db, queued)) {
                lock.lock();
                // Kept for the next round while the database is away too.
                m_queue.insert(m_queue.begin(), queued.begin(), queued.end());
                if (stopping)
                    return;
                continue;
            }
        }
        if (stopping)
            return;
        try {
            size_t left = 0;
            retry(db, left);
            pending = left > 0;
        } catch (const DatabaseError &) {
            pending = true;
        }
        lock.lock();
    }
}

bool PendingAborts::store(Database &db, std::deque<std::pair<std::string, std::string>> &queued)
{
    try {
        std::lock_guard<std::mutex> lock(db.mutex());
        while (!queued.empty()) {
            Statement(db,
                      "INSERT INTO pending_aborts (object_key, upload_id) VALUES (?1, ?2) "
                      "ON CONFLICT DO NOTHING")
                .bindText(1, queued.front().first)
                .bindText(2, queued.front().second)
                .step();
            queued.pop_front();
        }
        return true;
    } catch (const DatabaseError &) {
        return false;
    }
}

size_t PendingAborts::retry()
{
    Database *db;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        db = m_db;
    }
    size_t left = 0;
    return db ? retry(*db, left) : 0;
}

size_t PendingAborts::retry(Database &db, size_t &left)
{
    std::vector<std::pair<std::string, std::string>> kept;
    {
        std::lock_guard<std::mutex> lock(db.mutex());
        Statement select(db, "SELECT object_key, upload_id FROM pending_aborts");
        while (select.step())
            kept.emplace_back(select.bytes(0), select.bytes(1));
    }
    size_t done = 0;
    left = 0;
    for (const auto &[key, uploadId] : kept) {
        // Outside the lock: the store may take a while to answer.
        const Answer answer = aborted(m_client, key, uploadId);
        if (answer == Answer::Again) {
            ++left;
            continue;
        }
        std::lock_guard<std::mutex> lock(db.mutex());
        Statement(db, "DELETE FROM pending_aborts WHERE object_key = ?1 AND upload_id = ?2")
            .bindText(1, key)
            .bindText(2, uploadId)
            .step();
        if (answer == Answer::Done)
            ++done;
    }
    return done;
}

} // namespace QuorvaneServer
