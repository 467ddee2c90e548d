#pragma once

#include <functional>
#include <string>

namespace QuorvaneServer {

class Database;

// The server's folder: its database, "files/" with the stored files under names
// the server makes, and "tmp/" for uploads in progress.
class DataFolder
{
public:
    // Creates the folders that are missing; throws std::runtime_error.
    explicit DataFolder(std::string path);
    ~DataFolder();
    DataFolder(const DataFolder &) = delete;
    DataFolder &operator=(const DataFolder &) = delete;

    const std::string &path() const { return m_path; }
    std::string databasePath() const { return m_path + "/events.sqlite"; }
    std::string filesPath() const { return m_path + "/files"; }
    std::string temporaryPath() const { return m_path + "/tmp"; }

    // Ties the folder to the database: both keep the same service id. Throws
    // std::runtime_error when the folder holds the files of another database,
    // whose files this server would otherwise take for strays.
    void bindTo(Database &db);
    // The same for any place of files named where: readMark gives the
    // service id kept there (empty for none) and writeMark keeps one there.
    static void bindService(Database &db, const std::string &where,
                            const std::function<std::string(const std::string &)> &readMark,
                            const std::function<void(const std::string &)> &writeMark);
    static std::string newServiceId();
    // Marks the service id of a database whose service was copied elsewhere.
    static constexpr const char *MovedPrefix = "moved:";
    // Marks it in the database that copy fills, until the copy is finished.
    static constexpr const char *CopyingPrefix = "copying:";

    // Claims the folder for this server process. False when another server
    // runs on it: its uploads in progress must not be swept away.
    bool lockForServer();

private:
    std::string m_path;
    int m_lockFd = -1;
};

} // namespace QuorvaneServer
