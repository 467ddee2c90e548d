#pragma once

#include "http/LoginThrottle.h"
#include "http/ServerLimits.h"
#include "store/S3Client.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace QuorvaneServer {

// quorvane-server --listen HOST:PORT --data DIR [--database DB] [--storage s3://BUCKET/PREFIX
//                 --s3-endpoint URL] [limits] [--tls-cert FILE --tls-key FILE]
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
    // Empty for the files in the data folder, or "s3://BUCKET[/PREFIX]".
    std::string storage;
    std::string s3Endpoint;
    std::string s3Region = "us-east-1";
    // A file of AWS_ACCESS_KEY_ID=... and AWS_SECRET_ACCESS_KEY=... lines;
    // without it the keys come from the environment.
    std::string s3Keys;
    uint64_t s3PartSize = 16ull << 20;
    uint64_t s3Buffers = 32ull << 20;
    std::chrono::milliseconds s3UploadLease = std::chrono::minutes(5);
    // How often a running server sweeps, and how old an object of no event
    // must be before a sweep takes it for a stray rather than one on its way.
    std::chrono::milliseconds sweepInterval = std::chrono::hours(1);
    std::chrono::milliseconds sweepGrace = std::chrono::minutes(15);
    // copy with --storage: the files of the service go from the data folder
    // to the bucket, or with --to-folder back.
    bool toFolder = false;
    std::string copyFrom;
    std::string copyTo;
    ServerLimits limits;
    LoginThrottle::Settings throttle;
    std::string tlsCertificate;
    std::string tlsKey;
    std::string userName;
    std::string error;

    // How to reach the object store, with its keys; throws std::runtime_error
    // when the keys are missing.
    S3Client::Settings s3Settings() const;
    // The database the command works on.
    std::string databaseLocation() const;

    static CommandLine parse(int argc, const char *const *argv);
    static std::string usage();
};

} // namespace QuorvaneServer
