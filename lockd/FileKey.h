#pragma once

#include <cstdint>
#include <tuple>

// A file by what stays true of it while it exists: device and inode.
struct FileKey
{
    std::uint64_t device = 0;
    std::uint64_t inode = 0;

    bool operator<(const FileKey &other) const
    {
        return std::tie(device, inode) < std::tie(other.device, other.inode);
    }
    bool operator==(const FileKey &other) const
    {
        return device == other.device && inode == other.inode;
    }
};
