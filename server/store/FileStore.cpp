#include "store/FileStore.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <stdexcept>
#include <unistd.h>

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

FileStore::FileStore(const DataFolder &folder)
    : m_files(folder.filesPath())
    , m_temporary(folder.temporaryPath())
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

std::unique_ptr<TempFile> FileStore::createTemporary() const
{
    return std::make_unique<TempFile>(m_temporary + "/upload-" + randomName() + ".part");
}

std::string FileStore::adopt(TempFile &file) const
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

int FileStore::open(const std::string &name) const
{
    return ::open((m_files + "/" + name).c_str(), O_RDONLY | O_CLOEXEC);
}

void FileStore::remove(const std::string &name) const
{
    ::unlink((m_files + "/" + name).c_str());
}

FileStore::Sweep FileStore::sweep(const std::set<std::string> &referenced) const
{
    Sweep sweep;
    forEachEntry(m_temporary, [&](const std::string &name) {
        if (::unlink((m_temporary + "/" + name).c_str()) == 0)
            ++sweep.temporary;
    });
    size_t present = 0;
    forEachEntry(m_files, [&](const std::string &name) {
        if (referenced.count(name) != 0)
            ++present;
        else if (::unlink((m_files + "/" + name).c_str()) == 0)
            ++sweep.unreferenced;
    });
    sweep.missing = referenced.size() - present;
    syncFolder(m_files);
    return sweep;
}

} // namespace QuorvaneServer
