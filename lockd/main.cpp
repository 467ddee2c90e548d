#include "Capabilities.h"
#include "ListenSocket.h"
#include "LockJournal.h"
#include "LockService.h"
#include "LockTable.h"
#include "Options.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// Every held file is a descriptor: take all the room we are allowed.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    if (!options.parse(argc, argv, &error)) {
        std::fprintf(stderr, "keycrate-lockd: %s\n%s", error.c_str(), Options::usage());
        return 2;
    }
    if (options.help) {
        std::fputs(Options::usage(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("keycrate-lockd %s\n", KEYCRATE_VERSION);
        return 0;
    }
    ::signal(SIGPIPE, SIG_IGN);
    raiseDescriptorLimit();
    if (!Capabilities::keepOnlyNeeded()) {
        std::fprintf(stderr, "keycrate-lockd: cannot drop capabilities: %s\n",
                     std::strerror(errno));
        return 1;
    }
    LockJournal journal;
    if (!journal.open(options.stateFolder)) {
        std::fprintf(stderr, "keycrate-lockd: cannot open the journal in %s: %s\n",
                     options.stateFolder.c_str(), std::strerror(errno));
        return 1;
    }
    // A previous instance that ended without clearing its flags leaves no
    // file immutable with nobody holding it.
    const int leftovers = journal.releaseLeftovers();
    if (leftovers > 0)
        std::fprintf(stderr, "keycrate-lockd: cleared %d flags left by a previous run\n",
                     leftovers);
    // Clients connect only once the leftovers are cleared.
    const bool bound = !options.socketPath.empty();
    const int listener
        = bound ? ListenSocket::bind(options.socketPath) : ListenSocket::fromSystemd();
    if (listener < 0) {
        if (bound)
            std::fprintf(stderr, "keycrate-lockd: cannot listen on %s: %s\n",
                         options.socketPath.c_str(), std::strerror(errno));
        else
            std::fprintf(stderr, "keycrate-lockd: no socket from systemd; give --socket PATH\n");
        return 1;
    }
    int status;
    {
        LockTable table(journal, LockTable::roomForDescriptorLimit());
        LockService service(listener, table, options.idleSeconds);
        status = service.run();
    }
    if (bound)
        ::unlink(options.socketPath.c_str());
    return status;
}
