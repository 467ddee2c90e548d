#include "ProcessOwnedName.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

std::string ProcessOwnedName::make(const std::string &prefix, unsigned number)
{
    return prefix + std::to_string(::getpid()) + "-" + std::to_string(number);
}

bool ProcessOwnedName::leftBehind(const char *name, const std::string &prefix)
{
    if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0)
        return false;
    const char *at = name + prefix.size();
    long pid = 0;
    for (; *at >= '0' && *at <= '9' && pid < (1L << 31); ++at)
        pid = pid * 10 + (*at - '0');
    if (*at++ != '-' || *at == '\0')
        return false;
    while (*at >= '0' && *at <= '9')
        ++at;
    return *at == '\0' && pid > 0 && pid < (1L << 31) && pid != ::getpid()
        && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}
