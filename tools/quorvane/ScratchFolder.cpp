#include "ScratchFolder.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char Prefix[] = "quorvane-";

std::string temporaryFolder()
{
    const char *tmp = std::getenv("TMPDIR");
    return tmp && *tmp == '/' ? tmp : "/tmp";
}

} // namespace

std::string ScratchFolder::make()
{
    std::string folder = temporaryFolder() + '/' + Prefix + std::to_string(::getpid()) + "-XXXXXX";
    return ::mkdtemp(&folder[0]) ? folder : std::string();
}

void ScratchFolder::removeAbandoned()
{
    const std::string parent = temporaryFolder();
    DIR *listing = ::opendir(parent.c_str());
    if (!listing)
        return;
    const std::string prefix = Prefix;
    while (const dirent *entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        char *end = nullptr;
        const long pid = std::strtol(name.c_str() + prefix.size(), &end, 10);
        if (pid <= 0 || *end != '-' || pid == ::getpid() || ::kill(pid_t(pid), 0) == 0
            || errno != ESRCH)
            continue;
        // A folder of ours, never a link or another user's: the temporary
        // folder is shared.
        const std::string path = parent + '/' + name;
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)
            || info.st_uid != ::getuid())
            continue;
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ::closedir(listing);
}
