#include "store/FolderStore.h"

#include "store/Sha256.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace QuorvaneServer {

namespace {

std::string randomName()
{
    unsigned char bytes[16];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

template<typename Visit> void forEachEntry(const std::string &folder, Visit visit)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    while (const dirent *entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            visit(name);
    }
    ::closedir(dir);
}

} // namespace

FolderStore::FolderStore(const DataFolder &folder)
    : m_files(folder.filesPath())
    , m_temporary(folder.temporaryPath())
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

std::unique_ptr<TempFile> FolderStore::createTemporary(uint64_t size) const
{
    return std::make_unique<TempFile>(m_temporary + "/upload-" + randomName() + ".part",
                                      size == UnknownSize ? 0 : size);
}

std::string FolderStore::adopt(TempFile &file) const
{
    const std::string name = randomName();
    const std::string target = m_files + "/" + name;
    if (!file.moveTo(target, m_files)) {
        if (file.path() == target)
            ::unlink(target.c_str());
        return std::string();
    }
    return name;
}

int FolderStore::open(const std::string &name) const
{
    return ::open((m_files + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
}

void FolderStore::put(const std::string &name, int fd, uint64_t size) const
{
    const auto file = createTemporary();
    std::vector<char> buffer(1 << 20);
    for (uint64_t done = 0; done < size && file->error() == 0;) {
        const ssize_t got = ::pread(
            fd, buffer.data(), static_cast<size_t>(std::min<uint64_t>(buffer.size(), size - done)),
            static_cast<off_t>(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw std::runtime_error("cannot read the file to store as " + name);
        file->write(buffer.data(), static_cast<size_t>(got));
        done += static_cast<uint64_t>(got);
    }
    if (!file->sync() || !file->moveTo(m_files + "/" + name, m_files))
        throw std::runtime_error("cannot store " + name + ": " + std::strerror(file->error()));
}

void FolderStore::remove(const std::string &name) const
{
    ::unlink((m_files + "/" + name).c_str());
}

namespace {

// Locks name in folder unless another process holds it; -1 when held or gone.
int lockIfFree(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool endsWith(const std::string &text, const char *suffix)
{
    const size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

} // namespace

FileStore::Sweep
FolderStore::sweep(const std::set<std::string> &referenced,
                   const std::function<bool(const std::string &)> &isReferenced) const
{
    // Other servers may share this folder: a file that some process holds
    // locked is an upload in progress or about to be committed, and stays.
    Sweep sweep;
    const time_t now = ::time(nullptr);
    forEachEntry(m_temporary, [&](const std::string &name) {
        const std::string path = m_temporary + "/" + name;
        const int fd = lockIfFree(path);
        if (fd < 0)
            return;
        struct stat info;
        // A ".new" file is locked a moment after it is made; only an old one
        // is surely abandoned.
        const bool young
            = endsWith(name, ".new") && (::fstat(fd, &info) != 0 || now - info.st_mtime < 60);
        if (!young && ::unlink(path.c_str()) == 0)
            ++sweep.temporary;
        ::close(fd);
    });
    size_t present = 0;
    forEachEntry(m_files, [&](const std::string &name) {
        if (referenced.count(name) != 0) {
            ++present;
            return;
        }
        const std::string path = m_files + "/" + name;
        const int fd = lockIfFree(path);
        if (fd < 0)
            return;
        // Asked again under the lock: the row may have been committed since
        // the list of names was read.
        if (!isReferenced(name) && ::unlink(path.c_str()) == 0)
            ++sweep.unreferenced;
        ::close(fd);
    });
    sweep.missing = referenced.size() - present;
    syncFolder(m_files);
    return sweep;
}

std::string FolderStore::problem() const
{
    for (const std::string *folder : { &m_files, &m_temporary }) {
        struct stat info;
        if (::stat(folder->c_str(), &info) != 0 || ::access(folder->c_str(), W_OK | X_OK) != 0)
            return "cannot use " + *folder + ": " + std::strerror(errno);
        if (!S_ISDIR(info.st_mode))
            return *folder + " is not a folder";
    }
    return std::string();
}

} // namespace QuorvaneServer
