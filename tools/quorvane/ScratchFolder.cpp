#include "ScratchFolder.h"

#include "ProcessOwnedName.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string Prefix = "quorvane-";

std::string temporaryFolder()
{
    const char *tmp = std::getenv("TMPDIR");
    return tmp && *tmp == '/' ? tmp : "/tmp";
}

} // namespace

std::string ScratchFolder::make()
{
    // The temporary folder is shared: a name another user took first is
    // passed over, and the numbers start where nobody can guess.
    unsigned number = std::random_device()();
    for (int attempt = 0; attempt < 100; ++attempt, ++number) {
        const std::string folder
            = temporaryFolder() + '/' + ProcessOwnedName::make(Prefix, number % 1000000000);
        if (::mkdir(folder.c_str(), 0700) == 0)
            return folder;
        if (errno != EEXIST)
            return std::string();
    }
    return std::string();
}

void ScratchFolder::removeAbandoned()
{
    const std::string parent = temporaryFolder();
    DIR *listing = ::opendir(parent.c_str());
    if (!listing)
        return;
    while (const dirent *entry = ::readdir(listing)) {
        if (!ProcessOwnedName::leftBehind(entry->d_name, Prefix))
            continue;
        // A folder of ours, never a link or another user's: the temporary
        // folder is shared.
        const std::string path = parent + '/' + entry->d_name;
        struct stat info;
        if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)
            || info.st_uid != ::getuid())
            continue;
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    ::closedir(listing);
}
