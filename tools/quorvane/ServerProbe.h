#pragma once

#include <string>

// Why a server operation failed, as far as the program can tell on its own:
// whether the backup server can be reached at all.
class ServerProbe
{
public:
    // "cannot connect to URL: Connection refused", or empty when it answers.
    static std::string unreachable(const std::string &url, int timeoutMilliseconds = 3000);
};
