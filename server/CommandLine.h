#pragma once

#include <cstdint>
#include <string>

namespace QuorvaneServer {

// quorvane-server --listen HOST:PORT --data DIR [--max-body BYTES]
// quorvane-server adduser|passwd|deluser NAME --data DIR
struct CommandLine
{
    enum class Mode { Serve, AddUser, SetPassword, DeleteUser, Help, Invalid };

    Mode mode = Mode::Serve;
    std::string host = "127.0.0.1";
    int port = 8477;
    std::string dataFolder;
    uint64_t maxBody = uint64_t(16) << 30;
    std::string userName;
    std::string error;

    static CommandLine parse(int argc, const char *const *argv);
    static std::string usage();
};

} // namespace QuorvaneServer
