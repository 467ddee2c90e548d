#include "store/DataFolder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

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

} // namespace

DataFolder::DataFolder(std::string path)
    : m_path(std::move(path))
{
    while (m_path.size() > 1 && m_path.back() == '/')
        m_path.pop_back();
    if (m_path.empty())
        throw std::runtime_error("the data folder is not named");
    makeFolders(m_path);
    makeFolder(filesPath());
    makeFolder(temporaryPath());
}

DataFolder::~DataFolder()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
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
