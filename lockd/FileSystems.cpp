#include "FileSystems.h"

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

namespace {

bool keeps(const std::string &type)
{
    static const char *const local[]
        = { "ext2", "ext3", "ext4", "xfs", "btrfs", "tmpfs", "f2fs", "bcachefs" };
    for (const char *known : local)
        if (type == known)
            return true;
    return false;
}

} // namespace

bool FileSystems::cachedStat(int fd, struct stat *info)
{
    struct statx status
    {
    };
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, STATX_TYPE | STATX_UID | STATX_INO,
                &status)
        != 0)
        return false;
    *info = {};
    info->st_mode = status.stx_mode;
    info->st_uid = status.stx_uid;
    info->st_ino = status.stx_ino;
    info->st_dev = makedev(status.stx_dev_major, status.stx_dev_minor);
    return true;
}

bool FileSystems::keepsFlag(int fd, std::uint64_t device)
{
    auto found = m_devices.find(device);
    if (found == m_devices.end()) {
        // A file system mounted since the last look.
        reload();
        found = m_devices.find(device);
    }
    if (found != m_devices.end())
        return found->second;
    struct statfs system
    {
    };
    if (::fstatfs(fd, &system) != 0)
        return false;
    for (const unsigned long magic :
         { 0xEF53UL, 0x58465342UL, 0x9123683EUL, 0x01021994UL, 0xF2F52010UL, 0xCA451A4EUL })
        if (static_cast<unsigned long>(system.f_type) == magic)
            return true;
    return false;
}

// Lines of /proc/self/mountinfo: "ID PARENT MAJOR:MINOR ROOT POINT ... - TYPE SOURCE OPTIONS".
void FileSystems::reload()
{
    m_devices.clear();
    std::ifstream table("/proc/self/mountinfo");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string id;
        std::string parent;
        std::string numbers;
        fields >> id >> parent >> numbers;
        const std::size_t colon = numbers.find(':');
        const std::size_t dash = line.find(" - ");
        if (colon == std::string::npos || dash == std::string::npos)
            continue;
        std::istringstream rest(line.substr(dash + 3));
        std::string type;
        rest >> type;
        const unsigned major = static_cast<unsigned>(std::strtoul(numbers.c_str(), nullptr, 10));
        const unsigned minor
            = static_cast<unsigned>(std::strtoul(numbers.c_str() + colon + 1, nullptr, 10));
        // One device mounted twice has one type.
        m_devices[makedev(major, minor)] = keeps(type);
    }
}
