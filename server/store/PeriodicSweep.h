#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace QuorvaneServer {

// Runs a sweep of the stored files on a thread of its own, once every
// interval, until it goes.
class PeriodicSweep
{
public:
    PeriodicSweep(std::chrono::milliseconds interval, std::function<void()> sweep);
    ~PeriodicSweep();
    PeriodicSweep(const PeriodicSweep &) = delete;
    PeriodicSweep &operator=(const PeriodicSweep &) = delete;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace QuorvaneServer
