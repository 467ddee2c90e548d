#pragma once

#include "http/LoginThrottle.h"
#include "http/ServerLimits.h"

#include <cstdint>
#include <string>

namespace QuorvaneServer {

// quorvane-server --listen HOST:PORT --data DIR [limits] [--tls-cert FILE --tls-key FILE]
// quorvane-server adduser|passwd|deluser NAME --data DIR
struct CommandLine
{
    enum class Mode { Serve, AddUser, SetPassword, DeleteUser, Help, Version, Invalid };

    Mode mode = Mode::Serve;
    std::string host = "127.0.0.1";
    int port = 8477;
    std::string dataFolder;
    ServerLimits limits;
    LoginThrottle::Settings throttle;
    std::string tlsCertificate;
    std::string tlsKey;
    std::string userName;
    std::string error;

    static CommandLine parse(int argc, const char *const *argv);
    static std::string usage();
};

} // namespace QuorvaneServer
