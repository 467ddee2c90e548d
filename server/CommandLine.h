#pragma once

#include "http/LoginThrottle.h"
#include "http/ServerLimits.h"

#include <cstdint>
#include <string>

namespace QuorvaneServer {

// quorvane-server --listen HOST:PORT --data DIR [--database DB] [limits] [--tls-cert FILE
//                 --tls-key FILE]
// quorvane-server account add|passwd|remove NAME | account list, with --data/--database
// quorvane-server migrate --data DIR [--database DB]
// quorvane-server copy --from DB --to DB --data DIR
struct CommandLine
{
    enum class Mode {
        Serve,
        AddUser,
        SetPassword,
        DeleteUser,
        ListUsers,
        Migrate,
        Copy,
        Help,
        Version,
        Invalid
    };

    Mode mode = Mode::Serve;
    std::string host = "127.0.0.1";
    int port = 8477;
    std::string dataFolder;
    // "sqlite:PATH" or "postgresql://..."; empty for the SQLite file of the data folder.
    std::string database;
    std::string copyFrom;
    std::string copyTo;
    ServerLimits limits;
    LoginThrottle::Settings throttle;
    std::string tlsCertificate;
    std::string tlsKey;
    std::string userName;
    std::string error;

    // The database the command works on.
    std::string databaseLocation() const;

    static CommandLine parse(int argc, const char *const *argv);
    static std::string usage();
};

} // namespace QuorvaneServer
