#include "Interrupt.h"

#include "IQuorvane.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace {

std::atomic<bool> g_requested { false };
static_assert(std::atomic<bool>::is_always_lock_free, "read from a signal handler");

extern "C" void onInterrupt(int)
{
    if (g_requested.exchange(true)) {
        // The user insists: leave without waiting for the library.
        static const char text[] = "\nquorvane: stopped without waiting for the library\n";
        (void)!::write(STDERR_FILENO, text, sizeof text - 1);
        ::_exit(Quorvane::Cancelled);
    }
}

} // namespace

void Interrupt::install()
{
    struct sigaction action
    {
    };
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool Interrupt::requested()
{
    return g_requested.load();
}
