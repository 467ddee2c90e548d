#pragma once

#include "store/DatabaseThread.h"
#include "store/S3Client.h"

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <utility>

namespace QuorvaneServer {

class Database;

// Aborts of multipart uploads that the store did not take because it was
// away. They are kept in the database, where any server of the service finds
// them, and tried again until the store answers, so the parts of a cut upload
// do not wait a day for the sweep. The database is written on a thread of
// this object's own: the uploads that fail live on short threads, which must
// not each open a connection to it.
class PendingAborts : private DatabaseThread
{
public:
    explicit PendingAborts(const S3Client &client);
    ~PendingAborts();
    PendingAborts(const PendingAborts &) = delete;
    PendingAborts &operator=(const PendingAborts &) = delete;

    // Keeps failed aborts in db from now on, trying them again every
    // interval while any are known; db must outlive detach().
    void attach(Database &db, std::chrono::milliseconds interval);
    // Writes what is queued and lets go of the database; later failures are
    // left to the sweep.
    void detach();

    // Aborts a multipart upload; when the store does not take it, the abort
    // is kept to be tried again.
    void abort(const std::string &key, const std::string &uploadId);
    // Tries every kept abort again, from any server; the number done. Throws
    // DatabaseError.
    size_t retry();

private:
    void run();
    // Writes the queued aborts; false when the database did not take them.
    bool store(Database &db, std::deque<std::pair<std::string, std::string>> &queued);
    // As retry(); left is set to the number still kept.
    size_t retry(Database &db, size_t &left);

    S3Client m_client;
    std::chrono::milliseconds m_interval { 0 };
    std::deque<std::pair<std::string, std::string>> m_queue;
};

} // namespace QuorvaneServer
