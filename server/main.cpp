// quorvane-server: the reference backup server of Quorvane.

#include "CommandLine.h"
#include "ShutdownSignals.h"
#include "accounts/AccountCommand.h"
#include "http/Authenticator.h"
#include "http/HttpServer.h"
#include "http/HttpService.h"
#include "http/LoginThrottle.h"
#include "http/RequestLog.h"
#include "store/AccountStore.h"
#include "store/BlockPool.h"
#include "store/CopyCommand.h"
#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/EventStore.h"
#include "store/FolderStore.h"
#include "store/MigrateCommand.h"
#include "store/ObjectStore.h"
#include "store/PeriodicSweep.h"
#include "store/S3Client.h"
#include "store/Schema.h"
#include "store/TransferBudget.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <exception>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace QuorvaneServer;

namespace {

// Every connection is a descriptor: take all the operating system allows.
// Returns the limit now in force, 0 when unknown.
rlim_t raiseDescriptorLimit()
{
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 0;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t raised = limit.rlim_max;
        limit.rlim_cur = raised;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

// Connections past what the descriptors bear are refused with a 503 as they
// come, instead of waiting unanswered in the listen queue while accept()
// fails: a connection may hold its socket and a file, and the database, the
// stored files and the work threads need theirs.
size_t bearableConnections(rlim_t descriptors, const ServerLimits &limits)
{
    if (descriptors == 0 || descriptors == RLIM_INFINITY)
        return limits.maxConnections;
    const rlim_t reserve = 64 + 2 * rlim_t(limits.workThreads);
    const rlim_t bearable = descriptors > reserve + 2 ? (descriptors - reserve) / 2 : 1;
    return size_t(std::min<rlim_t>(bearable, limits.maxConnections));
}

int serve(const CommandLine &line)
{
    const rlim_t descriptors = raiseDescriptorLimit();
    ServerLimits limits = line.limits;
    limits.maxConnections = bearableConnections(descriptors, line.limits);
    ShutdownSignals signals;
    RequestLog log(stderr);
    try {
        DataFolder folder(line.dataFolder);
        const std::string location = line.databaseLocation();
        const auto db = Database::open(location, line.limits.databaseTimeout);
        // One SQLite file serves one server; on PostgreSQL any number share
        // the database and the folder.
        if (db->kind() == Database::Kind::SQLite && !folder.lockForServer()) {
            std::fprintf(stderr, "quorvane-server: another server uses %s\n",
                         folder.path().c_str());
            return 1;
        }
        Schema::prepare(*db, location);
        std::unique_ptr<FileStore> store;
        const ObjectStore *objectStore = nullptr;
        if (line.storage.empty()) {
            folder.bindTo(*db);
            store = std::make_unique<FolderStore>(folder);
        } else {
            auto objects = std::make_unique<ObjectStore>(folder, line.storage, line.s3Settings());
            objects->setRetryInterval(std::clamp<std::chrono::milliseconds>(
                line.sweepInterval, std::chrono::milliseconds(100), std::chrono::seconds(10)));
            objects->bindTo(*db);
            objects->setGrace(std::chrono::duration_cast<std::chrono::seconds>(line.sweepGrace));
            objectStore = objects.get();
            store = std::move(objects);
        }
        const FileStore &files = *store;
        EventStore events(*db, files);
        AccountStore accounts(*db, files);
        Authenticator authenticator(accounts);

        const auto sweep = [&files, &events, &log] {
            const FileStore::Sweep swept
                = files.sweep(events.storageNames(),
                              [&events](const std::string &name) { return events.refersTo(name); });
            if (swept.temporary + swept.unreferenced > 0)
                log.message("removed " + std::to_string(swept.temporary)
                            + " unfinished uploads and " + std::to_string(swept.unreferenced)
                            + " files of no event");
            if (swept.missing > 0)
                log.message("warning: " + std::to_string(swept.missing)
                            + " events have lost their stored file");
        };
        sweep();
        // Later sweeps fail quietly into the log: the store may be away a while.
        PeriodicSweep sweeps(line.sweepInterval, [&sweep, &log] {
            try {
                sweep();
            } catch (const std::exception &failure) {
                log.message(std::string("error: sweep failed: ") + failure.what());
            }
        });

        LoginThrottle throttle(line.throttle);
        HttpService service(events, files, authenticator, throttle, log, line.limits.maxDocument);
        if (limits.maxConnections < line.limits.maxConnections)
            log.message("warning: at most " + std::to_string(limits.maxConnections)
                        + " connections at once: the process may open "
                        + std::to_string(descriptors) + " files");
        HttpServer server(service, log, limits);
        if (!line.tlsCertificate.empty())
            server.useTls(line.tlsCertificate, line.tlsKey);
        const int port = server.bind(line.host, line.port);
        if (port < 0) {
            std::fprintf(stderr, "quorvane-server: cannot listen on %s:%d\n", line.host.c_str(),
                         line.port);
            return 1;
        }
        const bool bracket = line.host.find(':') != std::string::npos;
        log.message(std::string("listening on ") + (server.tls() ? "https://" : "http://")
                    + (bracket ? "[" + line.host + "]" : line.host) + ":" + std::to_string(port)
                    + " with data in " + folder.path()
                    + (line.storage.empty() ? "" : ", files in " + line.storage) + " and "
                    + Database::describe(location));
        signals.watch([&server, &log](int signal) {
            log.message(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"));
            server.stop();
        });
        server.run();
        // The watcher may still be inside stop() when run() returns.
        signals.finish();
        if (objectStore) {
            // Tells whether the budget was too small for the load it met.
            const TransferBudget &budget = objectStore->budget();
            const BlockPool &pool = objectStore->pool();
            // What is still held once the last transfers ended tells of a leak;
            // one that ends as the server stops gives back a moment later.
            const size_t kept = pool.kept() * pool.blockSize();
            budget.waitUntilHeld(kept, std::chrono::seconds(2));
            log.message("the store's transfers held at most " + std::to_string(budget.highWater())
                        + " of " + std::to_string(budget.limit()) + " bytes of buffers; "
                        + std::to_string(budget.waited()) + " waited for their turn; "
                        + std::to_string(budget.held() - kept) + " bytes and "
                        + std::to_string(pool.lent()) + " shared blocks still held; "
                        + std::to_string(S3Client::requestsMade()) + " requests to the store over "
                        + std::to_string(S3Client::connectionsMade()) + " connections");
        }
        log.message("stopped");
        return 0;
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quorvane-server: %s\n", error.what());
        return 1;
    }
}

} // namespace

int main(int argc, char **argv)
{
    // A client that hangs up must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    ::umask(077);

    const CommandLine line = CommandLine::parse(argc, argv);
    switch (line.mode) {
    case CommandLine::Mode::Help:
        std::fputs(CommandLine::usage().c_str(), stdout);
        return 0;
    case CommandLine::Mode::Version:
        std::puts("quorvane-server " KEYCRATE_VERSION);
        return 0;
    case CommandLine::Mode::Invalid:
        std::fprintf(stderr, "quorvane-server: %s\n\n%s", line.error.c_str(),
                     CommandLine::usage().c_str());
        return 2;
    case CommandLine::Mode::Serve:
        return serve(line);
    case CommandLine::Mode::Migrate:
        return MigrateCommand(line).run();
    case CommandLine::Mode::Copy:
        return CopyCommand(line).run();
    default:
        return AccountCommand(line, stdin).run();
    }
}
