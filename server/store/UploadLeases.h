#pragma once

#include "store/DatabaseThread.h"

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace QuorvaneServer {

class Database;

// Leases of the multipart uploads this server writes, kept in the database
// where the sweep of every server sees them and renewed while this server
// lives. The uploads of a server that died are aborted once their lease runs
// out instead of a day later; one still written keeps its lease renewed. Like
// PendingAborts, the database is written on a thread of its own.
class UploadLeases : private DatabaseThread
{
public:
    using Upload = std::pair<std::string, std::string>; // key, upload id

    explicit UploadLeases(std::chrono::milliseconds length);
    ~UploadLeases();
    UploadLeases(const UploadLeases &) = delete;
    UploadLeases &operator=(const UploadLeases &) = delete;

    // Writes the leases to db from now on; db must outlive detach().
    void attach(Database &db);
    // Lets go of the database; the rows left run out for a sweep to take.
    void detach();

    void add(const std::string &key, const std::string &uploadId);
    void remove(const std::string &key, const std::string &uploadId);

    // Moves the uploads whose lease ran out to the pending aborts, in one
    // transaction; the uploads whose lease still runs. Throws DatabaseError.
    static std::set<Upload> expire(Database &db);

private:
    void run();
    // False when the database did not take them.
    bool write(Database &db, const std::set<Upload> &live, const std::vector<Upload> &gone);

    const std::chrono::milliseconds m_length;
    std::set<Upload> m_live;
    std::vector<Upload> m_gone;
    bool m_dirty = false;
};

} // namespace QuorvaneServer
