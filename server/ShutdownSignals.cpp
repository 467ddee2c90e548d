#include "ShutdownSignals.h"

#include <csignal>
#include <pthread.h>

namespace QuorvaneServer {

namespace {

sigset_t shutdownSet()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

} // namespace

ShutdownSignals::ShutdownSignals()
{
    const sigset_t set = shutdownSet();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ShutdownSignals::~ShutdownSignals()
{
    finish();
}

void ShutdownSignals::finish()
{
    if (m_thread.joinable()) {
        m_closing = true;
        // Wakes the watcher if no signal came; ignored when it has ended already.
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }
}

void ShutdownSignals::watch(std::function<void(int)> onSignal)
{
    m_thread = std::thread([this, onSignal = std::move(onSignal)] {
        const sigset_t set = shutdownSet();
        int signal = 0;
        while (sigwait(&set, &signal) != 0) { }
        if (!m_closing)
            onSignal(signal);
    });
}

} // namespace QuorvaneServer
