#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace QuorvaneServer {

// Turns SIGTERM and SIGINT into a call on a thread of its own, where it is safe
// to stop the server. Build it before any other thread starts, so that every
// thread inherits the blocked signals.
class ShutdownSignals
{
public:
    ShutdownSignals();
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals &) = delete;
    ShutdownSignals &operator=(const ShutdownSignals &) = delete;

    // Calls onSignal with the signal number when the first one arrives.
    void watch(std::function<void(int)> onSignal);
    // Returns once onSignal has returned or can no longer be called: what it
    // uses may then go.
    void finish();

private:
    std::thread m_thread;
    std::atomic<bool> m_closing { false };
};

} // namespace QuorvaneServer
