#include "store/PeriodicSweep.h"

namespace QuorvaneServer {

PeriodicSweep::PeriodicSweep(std::chrono::milliseconds interval, std::function<void()> sweep)
{
    m_thread = std::thread([this, interval, sweep = std::move(sweep)] {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_changed.wait_for(lock, interval, [this] { return m_stopping; })) {
            lock.unlock();
            sweep();
            lock.lock();
        }
    });
}

PeriodicSweep::~PeriodicSweep()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

} // namespace QuorvaneServer
