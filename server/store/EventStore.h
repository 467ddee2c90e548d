#pragma once

#include "store/EventRecord.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace QuorvaneServer {

class BlockStream;
class Database;
class FileStore;
class TempFile;

// The events of all users with their stored files. Every change is one
// transaction (uploads that end together may share one); a file is in place
// before the row that names it commits and is removed only after the row that
// named it is gone.
class EventStore
{
public:
    EventStore(Database &db, const FileStore &files);

    // Stores the event of user with its synced upload file, replacing the
    // user's event of the same id. Throws on failure, leaving nothing behind;
    // DatabaseError::full() tells a full disk or database. False, storing
    // nothing, when the user's account no longer exists.
    bool save(int64_t user, const EventRecord &event, int64_t accessId, TempFile &file);

    struct OpenFile
    {
        int fd = -1;
        uint64_t size = 0;
        // Instead of fd: the file in order, as the store sends it.
        std::shared_ptr<BlockStream> stream;
        // Raw SHA-256 of the file as uploaded; empty for files stored unhashed.
        std::string digest;
        // The size and BlockSums of the file as uploaded; events stored before
        // block sums were kept have none.
        uint64_t uploadedSize = 0;
        bool hasBlockSums = false;
        std::string blockSums;
        // Only the blocks a part touches were opened, in order from from.
        bool part = false;
        uint64_t from = 0;
    };
    // The bytes first..last (inclusive) a reader wants of a file of size
    // bytes, or nullopt for all of them.
    using Wanted = std::function<std::optional<std::pair<uint64_t, uint64_t>>(uint64_t size)>;
    // The stored file of the user's event, open for reading; nullopt when the
    // user has no such event. A store that reads parts opens only the blocks
    // of what is wanted, when the file has block sums to check them by.
    // gone tells, when given, whether the reader went while the file opens.
    std::optional<OpenFile> openFile(int64_t user, const std::string &id, const Wanted &wanted = {},
                                     const std::function<bool()> &gone = {});

    // False when the user has no such event.
    bool remove(int64_t user, const std::string &id);

    struct Cursor
    {
        int64_t timeKey = 0;
        std::string id;
    };
    struct Page
    {
        std::vector<EventRecord> events;
        // Where the next page starts.
        Cursor next;
        // Nothing was left after the cursor.
        bool last = false;
    };
    // The next events of user, in order of time and id, after the position
    // after (at first the start of the time window, with an empty id) up to
    // the time to. A page holds a few hundred KiB of fields or a single larger
    // event, so a reader costs little memory whatever the events hold; it may
    // be empty without being the last.
    Page page(int64_t user, int64_t to, const Cursor &after);

    std::set<std::string> storageNames();
    // Throws DatabaseError when the database cannot be reached.
    void ping();
    // Whether an event names this stored file.
    bool refersTo(const std::string &storage);

private:
    struct PendingSave;
    // Saves the batch's rows in one transaction, or each alone when that
    // fails; each save's outcome goes to it.
    void commitSaves(const std::vector<PendingSave *> &batch);
    void saveRows(const std::vector<PendingSave *> &batch);
    // The user's event at key, or nullopt when it is no longer there.
    std::optional<EventRecord> readEvent(int64_t user, const Cursor &key);
    // Inside a write transaction: throws when copy moved the service away.
    void refuseIfMoved();

    Database &m_db;
    const FileStore &m_files;
    std::mutex m_saveMutex;
    std::condition_variable m_saveTurn;
    std::vector<PendingSave *> m_pendingSaves;
    bool m_saving = false;
};

} // namespace QuorvaneServer
