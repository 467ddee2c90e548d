#include "store/DataFolder.h"

#include "store/Database.h"
#include "store/Statement.h"
#include "store/TempFile.h"
#include "store/Transaction.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sodium.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace QuorvaneServer {

namespace {

void makeFolder(const std::string &path)
{
    if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) {
        struct stat info;
        if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
            return;
        throw std::runtime_error(path + " is not a folder");
    }
    throw std::runtime_error("cannot create " + path + ": " + std::strerror(errno));
}

bool isEmptyFolder(const std::string &path)
{
    DIR *dir = ::opendir(path.c_str());
    if (!dir)
        return true;
    bool empty = true;
    while (const dirent *entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

void makeFolders(const std::string &path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string parent = path.substr(0, slash);
        if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot create " + parent + ": " + std::strerror(errno));
    }
    makeFolder(path);
}

// A group made for its owner alone (a user private group): its name is the
// owner's, it is the owner's primary group and lists no one else.
bool isPrivateGroup(uid_t owner, gid_t group)
{
    std::vector<char> buffer(16384);
    struct passwd user;
    struct passwd *found = nullptr;
    if (::getpwuid_r(owner, &user, buffer.data(), buffer.size() / 2, &found) != 0 || !found
        || user.pw_gid != group)
        return false;
    struct group entry;
    struct group *groupFound = nullptr;
    if (::getgrgid_r(group, &entry, buffer.data() + buffer.size() / 2, buffer.size() / 2,
                     &groupFound)
            != 0
        || !groupFound || std::strcmp(entry.gr_name, user.pw_name) != 0)
        return false;
    for (char **member = entry.gr_mem; *member; ++member) {
        if (std::strcmp(*member, user.pw_name) != 0)
            return false;
    }
    return true;
}

// Another user could swap the database or the stored files under us: the
// folder must be this user's (root's will do: it could anyway) and no one
// else may write in it.
void refuseForeign(const std::string &path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    if (info.st_uid != ::geteuid() && info.st_uid != 0)
        throw std::runtime_error(path + " belongs to another user (uid "
                                 + std::to_string(info.st_uid)
                                 + "): run the server as that user, or give it the folder (chown)");
    if ((info.st_mode & S_IWOTH)
        || ((info.st_mode & S_IWGRP) && !isPrivateGroup(info.st_uid, info.st_gid)))
        throw std::runtime_error(path
                                 + " can be written by other users: make it the server's "
                                   "alone (chmod go-w)");
}

// The service id kept in the folder; empty when there is none. Anything but
// a regular file there (a FIFO would hold the start for good) is refused.
std::string readMarker(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::string();
        throw std::runtime_error("cannot read " + path + ": " + std::strerror(errno));
    }
    struct stat info;
    char bytes[256];
    ssize_t got = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode))
        got = ::read(fd, bytes, sizeof bytes);
    ::close(fd);
    if (got < 0)
        throw std::runtime_error(path + " is not a regular file");
    std::string id(bytes, size_t(got));
    id.erase(std::min(id.find_first_of(" \t\r\n"), id.size()));
    return id;
}

} // namespace

DataFolder::DataFolder(std::string path)
    : m_path(std::move(path))
{
    while (m_path.size() > 1 && m_path.back() == '/')
        m_path.pop_back();
    if (m_path.empty())
        throw std::runtime_error("the data folder is not named");
    makeFolders(m_path);
    refuseForeign(m_path);
    makeFolder(filesPath());
    makeFolder(temporaryPath());
}

DataFolder::~DataFolder()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

std::string DataFolder::newServiceId()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

void DataFolder::bindTo(Database &db)
{
    const std::string marker = m_path + "/service-id";
    bindService(
        db, m_path,
        [&](const std::string &databaseId) {
            std::string folderId = readMarker(marker);
            if (databaseId.empty() && folderId.empty() && !isEmptyFolder(filesPath())) {
                // A folder from before service ids: its files are its
                // database's only if that database has events.
                Statement events(db, "SELECT count(*) FROM events");
                if (events.step() && events.integer(0) == 0)
                    folderId = "unknown";
            }
            return folderId;
        },
        [&](const std::string &id) {
            // Written beside and renamed, so that no reader sees half an id.
            const std::string part = marker + ".part";
            {
                std::ofstream out(part, std::ios::trunc);
                out << id << "\n";
                out.flush();
                if (!out)
                    throw std::runtime_error("cannot write " + part);
            }
            if (::rename(part.c_str(), marker.c_str()) != 0)
                throw std::runtime_error("cannot write " + marker + ": " + std::strerror(errno));
            syncFolder(m_path);
        });
}

void DataFolder::bindService(Database &db, const std::string &where,
                             const std::function<std::string(const std::string &)> &readMark,
                             const std::function<void(const std::string &)> &writeMark)
{
    std::lock_guard<std::mutex> lock(db.mutex());
    // Under the writers' lock: servers that start together agree on one id.
    Transaction transaction(db);
    std::string databaseId;
    {
        Statement select(db, "SELECT id FROM service");
        if (select.step())
            databaseId = select.bytes(0);
    }
    const std::string markId = readMark(databaseId);
    if (databaseId.rfind(MovedPrefix, 0) == 0)
        throw std::runtime_error(
            "the service of this database was moved to another one by \"quorvane-server copy\"; "
            "serving the old one beside it would lose files");
    if (databaseId.rfind(CopyingPrefix, 0) == 0)
        throw std::runtime_error("this database is the target of a \"quorvane-server copy\" "
                                 "that is not finished; run that copy again");
    if (databaseId.empty() && !markId.empty())
        throw std::runtime_error(where
                                 + " holds the files of another database; "
                                   "\"quorvane-server copy\" moves a service to a new database");
    if (!databaseId.empty() && !markId.empty() && databaseId != markId)
        throw std::runtime_error(where + " holds the files of another database than this one");
    if (databaseId.empty()) {
        databaseId = newServiceId();
        Statement(db, "INSERT INTO service (id) VALUES (?1)").bindText(1, databaseId).step();
    }
    if (markId.empty())
        writeMark(databaseId);
    transaction.commit();
}

bool DataFolder::lockForServer()
{
    if (m_lockFd < 0) {
        const std::string lockPath = m_path + "/server.lock";
        m_lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_lockFd < 0)
            throw std::runtime_error("cannot open " + lockPath + ": " + std::strerror(errno));
    }
    return ::flock(m_lockFd, LOCK_EX | LOCK_NB) == 0;
}

} // namespace QuorvaneServer
