#pragma once

#include <cstdint>
#include <map>
#include <sys/stat.h>

// Which file systems the service sets the flag on: local ones known to keep
// it. Told by the mount table alone, so a file on FUSE or a network file
// system is refused without a call that its server could hold up.
class FileSystems
{
public:
    // Whether the file system of fd, on the device st_dev, keeps the flag.
    // A device the mount table does not name (a Btrfs subvolume) is asked
    // for its type: mounted file systems that could hold us up are named.
    bool keepsFlag(int fd, std::uint64_t device);

    // fstat from what the kernel holds already: a FUSE or network server is
    // not asked (and cannot make us wait). False on failure.
    static bool cachedStat(int fd, struct stat *info);

private:
    void reload();

    std::map<std::uint64_t, bool> m_devices;
};
