#pragma once

#include <sys/resource.h>

// Every write that makes a file of this process bigger than the limit fails
// while it is in force, as on a full disk, for any user; sockets are not files.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    struct rlimit m_saved;
};
