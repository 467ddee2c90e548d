#pragma once

#include <string>

// Names a process gives files it means to remove again: a prefix, its pid, a
// dash and a number. One whose process is gone was left behind by a run that
// was killed before it could remove it.
class ProcessOwnedName
{
public:
    static std::string make(const std::string &prefix, unsigned number);
    // False for the names of this process and of processes still running.
    static bool leftBehind(const char *name, const std::string &prefix);
};
