#pragma once

// Counts the library's worker threads from outside: Qt names a thread after
// its class when it starts, so each running MainThread shows as "MainThread"
// in /proc. Plain C++ so that hosts without Qt can use it too.

#include <filesystem>
#include <fstream>
#include <string>

inline int threadsNamed(const std::string &name)
{
    int found = 0;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name)
            ++found;
    }
    return found;
}

inline int workerThreads()
{
    return threadsNamed("MainThread");
}

// For failure messages: every thread of the process by name.
inline std::string threadNames()
{
    std::string names;
    for (const auto &task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        std::getline(comm, line);
        names += (names.empty() ? "" : ", ") + line;
    }
    return names;
}
