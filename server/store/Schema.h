#pragma once

#include <functional>
#include <string>

namespace QuorvaneServer {

class Database;

// The versioned layout of the database. Each version adds one step; a
// database remembers the last step it took.
class Schema
{
public:
    static constexpr int CurrentVersion = 7;

    // The SHA-256 of a stored file by its storage name; throws when unreadable.
    using FileDigest = std::function<std::string(const std::string &storage)>;

    // For serving: lays out an empty database, accepts a current one and
    // throws DatabaseError with what to do for any other. location names
    // the database in that message.
    static void prepare(Database &db, const std::string &location);

    // Throws DatabaseError unless the database is at the current version.
    static void requireCurrent(Database &db, const std::string &location);

    struct Migration
    {
        int from = 0;
        int to = 0;
        size_t hashed = 0;
        size_t missingFiles = 0;
    };
    // Brings the database to the current version in one transaction; throws
    // DatabaseError on a newer one. Files of events from before file hashes
    // are hashed with digest.
    static Migration migrate(Database &db, const std::string &location, const FileDigest &digest);

private:
    static void step(Database &db, int version);
};

} // namespace QuorvaneServer
