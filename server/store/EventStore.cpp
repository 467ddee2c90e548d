#include "store/EventStore.h"

#include "store/BlockSums.h"
#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/FileStore.h"
#include "store/Statement.h"
#include "store/Transaction.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <unistd.h>

namespace QuorvaneServer {

namespace {

// The columns name, path, type, content, description, record_time and
// record_changed, in that order from first.
EventRecord recordAt(const Statement &row, int first, const std::string &id)
{
    EventRecord event;
    event.id = id;
    event.name = row.bytes(first);
    event.path = row.bytes(first + 1);
    event.type = row.bytes(first + 2);
    event.content = row.bytes(first + 3);
    event.description = row.bytes(first + 4);
    event.recordTime = row.bytes(first + 5);
    event.recordChanged = row.bytes(first + 6);
    return event;
}

// A page of the list: the sizes of this many events are read first, then as
// many of them as hold PageBytes, or one larger event alone.
constexpr int64_t PageRows = 256;
constexpr int64_t PageBytes = 256 * 1024;
constexpr int64_t SmallEvent = 16 * 1024;

// The cursor alone bounds the walk from below: with a bound of time beside
// it, SQLite would scan the index from there on every page.
const std::string After = "FROM events WHERE user_id = ?1 AND (time_key, event_id) > (?2, ?3)";
const std::string EventBytes
    = "CAST(length(event_id) AS BIGINT) + length(name) + length(path) + length(type) "
      "+ length(content) + length(description) + length(record_time) + length(record_changed)";
const std::string SizesSql = "SELECT time_key, event_id, " + EventBytes + " " + After
    + " AND time_key <= ?4 ORDER BY time_key, event_id LIMIT ?5";

std::string smallOnly(const char *column)
{
    return std::string(", CASE WHEN bytes <= ?6 THEN ") + column + " END";
}

const std::string RunSql = "SELECT time_key, event_id" + smallOnly("name") + smallOnly("path")
    + smallOnly("type") + smallOnly("content") + smallOnly("description") + smallOnly("record_time")
    + smallOnly("record_changed")
    + " FROM (SELECT time_key, event_id, name, path, type, content, description, record_time, "
      "record_changed, "
    + EventBytes + " AS bytes " + After
    + " AND (time_key, event_id) <= (?4, ?5) ORDER BY time_key, event_id LIMIT ?7) AS page_rows "
      "ORDER BY time_key, event_id";

} // namespace

EventStore::EventStore(Database &db, const FileStore &files)
    : m_db(db)
    , m_files(files)
{
}

struct EventStore::PendingSave
{
    int64_t user;
    const EventRecord &event;
    int64_t accessId;
    TempFile &file;
    std::string storage;
    PendingSave(int64_t user, const EventRecord &event, int64_t accessId, TempFile &file,
                std::string storage)
        : user(user)
        , event(event)
        , accessId(accessId)
        , file(file)
        , storage(std::move(storage))
    {
    }
    bool done = false;
    bool saved = false;
    std::string replaced;
    std::exception_ptr error;
};

bool EventStore::save(int64_t user, const EventRecord &event, int64_t accessId, TempFile &file)
{
    // Outside the lock: putting a file into an object store takes as long as
    // sending it.
    const std::string storage = m_files.adopt(file);
    if (storage.empty())
        throw DatabaseError(std::string("cannot store an uploaded file: ")
                                + std::strerror(file.error()),
                            file.error() == ENOSPC || file.error() == EDQUOT);
    PendingSave mine(user, event, accessId, file, storage);
    {
        // The rows of uploads that end together commit together: one sync
        // of the database for all, where each waited for the others' before.
        std::unique_lock<std::mutex> lock(m_saveMutex);
        m_pendingSaves.push_back(&mine);
        m_saveTurn.wait(lock, [&] { return mine.done || !m_saving; });
        if (!mine.done) {
            m_saving = true;
            std::vector<PendingSave *> batch;
            batch.swap(m_pendingSaves);
            lock.unlock();
            commitSaves(batch);
            lock.lock();
            for (PendingSave *save : batch)
                save->done = true;
            m_saving = false;
            m_saveTurn.notify_all();
        }
    }
    if (mine.error) {
        try {
            std::rethrow_exception(mine.error);
        } catch (const DatabaseError &failure) {
            // A commit of unknown outcome may have named the file: it stays,
            // and a later sweep removes it if no row names it.
            if (!failure.outcomeUnknown())
                m_files.remove(storage);
            throw;
        } catch (...) {
            m_files.remove(storage);
            throw;
        }
    }
    if (!mine.saved) {
        m_files.remove(storage);
        return false;
    }
    if (!mine.replaced.empty())
        m_files.remove(mine.replaced);
    return true;
}

void EventStore::commitSaves(const std::vector<PendingSave *> &batch)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    try {
        saveRows(batch);
        return;
    } catch (const DatabaseError &failure) {
        if (batch.size() == 1 || failure.outcomeUnknown()) {
            for (PendingSave *save : batch)
                save->error = std::current_exception();
            return;
        }
    } catch (...) {
        if (batch.size() == 1) {
            batch.front()->error = std::current_exception();
            return;
        }
    }
    // Each alone, so that one upload's fault fails no other.
    for (PendingSave *save : batch) {
        try {
            saveRows({ save });
        } catch (...) {
            save->error = std::current_exception();
        }
    }
}

void EventStore::saveRows(const std::vector<PendingSave *> &batch)
{
    Transaction transaction(m_db);
    refuseIfMoved();
    for (PendingSave *save : batch) {
        save->saved = false;
        save->replaced.clear();
        // The account may have been removed since its login.
        Statement account(m_db, "SELECT 1 FROM users WHERE id = ?1");
        account.bind(1, save->user);
        if (!account.step())
            continue;
        const EventRecord &event = save->event;
        Statement previous(m_db, "SELECT storage FROM events WHERE user_id = ?1 AND event_id = ?2");
        previous.bind(1, save->user).bind(2, event.id);
        if (previous.step())
            save->replaced = previous.bytes(0);
        Statement(m_db, "DELETE FROM events WHERE user_id = ?1 AND event_id = ?2")
            .bind(1, save->user)
            .bind(2, event.id)
            .step();
        Statement insert(
            m_db,
            "INSERT INTO events (user_id, event_id, name, path, type, content, "
            "description, record_time, record_changed, time_key, access_id, size, "
            "storage, sha256, block_sums) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, "
            "?12, ?13, ?14, ?15)");
        insert.bind(1, save->user)
            .bind(2, event.id)
            .bind(3, event.name)
            .bind(4, event.path)
            .bind(5, event.type)
            .bind(6, event.content)
            .bind(7, event.description)
            .bind(8, event.recordTime)
            .bind(9, event.recordChanged)
            .bind(10, timeStampSeconds(event.recordTime))
            .bind(11, save->accessId)
            .bind(12, static_cast<int64_t>(save->file.size()))
            .bindText(13, save->storage)
            .bind(14, save->file.digest())
            .bind(15, save->file.blockSums())
            .step();
        save->saved = true;
    }
    transaction.commit();
}

void EventStore::refuseIfMoved()
{
    // Once copy has moved the service, a change here would be lost to the new
    // database, whose servers take this one's new files for strays.
    Statement service(m_db, "SELECT id FROM service");
    if (service.step() && service.bytes(0).rfind(DataFolder::MovedPrefix, 0) == 0)
        throw DatabaseError("the service of this database was moved to another one",
                            DatabaseError::Cause::Unavailable);
}

std::optional<EventStore::OpenFile> EventStore::openFile(int64_t user, const std::string &id,
                                                         const Wanted &wanted,
                                                         const std::function<bool()> &gone)
{
    // Once open, the file stays readable whatever happens. Between the look-up
    // and the open, another thread or server may replace or remove the event
    // and its file: then the look-up is made again.
    for (int attempt = 0;; ++attempt) {
        OpenFile file;
        std::string storage;
        {
            std::lock_guard<std::mutex> lock(m_db.mutex());
            Statement select(m_db,
                             "SELECT storage, sha256, size, block_sums FROM events "
                             "WHERE user_id = ?1 AND event_id = ?2");
            select.bind(1, user).bind(2, id);
            if (!select.step())
                return std::nullopt;
            file.digest = select.bytes(1);
            storage = select.bytes(0);
            file.uploadedSize = static_cast<uint64_t>(select.integer(2));
            file.hasBlockSums = !select.isNull(3);
            file.blockSums = select.bytes(3);
        }
        // Outside the lock: reading from an object store takes a while.
        std::optional<std::pair<uint64_t, uint64_t>> range;
        if (wanted && file.hasBlockSums && BlockSums::fit(file.blockSums, file.uploadedSize))
            range = wanted(file.uploadedSize);
        if (range) {
            constexpr uint64_t Block = BlockSums::BlockSize;
            file.from = range->first / Block * Block;
            const uint64_t to = std::min(file.uploadedSize, (range->second / Block + 1) * Block);
            file.fd = m_files.openPart(storage, file.from, to - 1, file.size, file.stream,
                                       file.part, gone);
            if (file.part)
                file.size = file.uploadedSize;
            else
                file.from = 0;
        } else {
            file.fd = m_files.openStream(storage, file.size, file.stream, gone);
        }
        if (file.fd >= 0 || file.stream)
            return file;
        const int error = errno;
        if (error != ENOENT || attempt == 3)
            throw std::runtime_error(std::string("cannot open a stored file: ")
                                     + std::strerror(error));
    }
}

bool EventStore::remove(int64_t user, const std::string &id)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    std::string storage;
    {
        Transaction transaction(m_db);
        refuseIfMoved();
        Statement select(m_db, "SELECT storage FROM events WHERE user_id = ?1 AND event_id = ?2");
        select.bind(1, user).bind(2, id);
        if (!select.step())
            return false;
        storage = select.bytes(0);
        Statement(m_db, "DELETE FROM events WHERE user_id = ?1 AND event_id = ?2")
            .bind(1, user)
            .bind(2, id)
            .step();
        transaction.commit();
    }
    m_files.remove(storage);
    return true;
}

EventStore::Page EventStore::page(int64_t user, int64_t to, const Cursor &after)
{
    // Each page is a statement or two of its own: no read transaction or lock
    // outlives it, so writers never wait for a slow reader and no snapshot is
    // kept for one. The walk goes by (time, id), which a replacement keeps
    // unless it changes the event's time: an event present throughout is
    // listed exactly once, as it is when the walk reaches it, and one added or
    // removed meanwhile at most once. Only an event whose time is changed while
    // the answer is under way may be listed at both places or at neither.
    std::lock_guard<std::mutex> lock(m_db.mutex());
    struct Sized
    {
        Cursor key;
        int64_t bytes = 0;
    };
    std::vector<Sized> ahead;
    {
        Statement sizes(m_db, SizesSql.c_str());
        sizes.bind(1, user).bind(2, after.timeKey).bind(3, after.id).bind(4, to).bind(5, PageRows);
        while (sizes.step())
            ahead.push_back({ { sizes.integer(0), sizes.bytes(1) }, sizes.integer(2) });
    }
    Page page;
    page.next = after;
    if (ahead.empty()) {
        page.last = true;
        return page;
    }
    if (ahead.front().bytes > SmallEvent) {
        page.next = ahead.front().key;
        if (auto event = readEvent(user, page.next))
            page.events.push_back(std::move(*event));
        return page;
    }
    size_t run = 0;
    int64_t bytes = 0;
    while (run < ahead.size() && ahead[run].bytes <= SmallEvent
           && bytes + ahead[run].bytes <= PageBytes)
        bytes += ahead[run++].bytes;
    const Cursor &end = ahead[run - 1].key;

    // An event that grew since its size was read comes back without its
    // fields; the page ends with it, read on its own.
    Statement select(m_db, RunSql.c_str());
    select.bind(1, user)
        .bind(2, after.timeKey)
        .bind(3, after.id)
        .bind(4, end.timeKey)
        .bind(5, end.id)
        .bind(6, SmallEvent)
        .bind(7, static_cast<int64_t>(run));
    size_t got = 0;
    while (select.step()) {
        ++got;
        page.next = { select.integer(0), select.bytes(1) };
        if (select.isNull(2)) {
            if (auto event = readEvent(user, page.next))
                page.events.push_back(std::move(*event));
            return page;
        }
        page.events.push_back(recordAt(select, 2, page.next.id));
    }
    if (got < run)
        page.next = end;
    return page;
}

std::optional<EventRecord> EventStore::readEvent(int64_t user, const Cursor &key)
{
    Statement select(m_db,
                     "SELECT name, path, type, content, description, record_time, record_changed "
                     "FROM events WHERE user_id = ?1 AND time_key = ?2 AND event_id = ?3");
    select.bind(1, user).bind(2, key.timeKey).bind(3, key.id);
    if (!select.step())
        return std::nullopt;
    return recordAt(select, 0, key.id);
}

void EventStore::ping()
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    m_db.ping();
}

bool EventStore::refersTo(const std::string &storage)
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    Statement select(m_db, "SELECT 1 FROM events WHERE storage = ?1");
    select.bindText(1, storage);
    return select.step();
}

std::set<std::string> EventStore::storageNames()
{
    std::lock_guard<std::mutex> lock(m_db.mutex());
    std::set<std::string> names;
    Statement select(m_db, "SELECT storage FROM events");
    while (select.step())
        names.insert(select.bytes(0));
    return names;
}

} // namespace QuorvaneServer
