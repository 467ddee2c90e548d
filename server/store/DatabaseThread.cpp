#include "store/DatabaseThread.h"

#include <utility>

namespace QuorvaneServer {

DatabaseThread::~DatabaseThread()
{
    stop();
}

void DatabaseThread::start(Database &db, std::function<void()> run)
{
    stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_db = &db;
    m_stopping = false;
    m_thread = std::thread(std::move(run));
}

void DatabaseThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_db = nullptr;
}

} // namespace QuorvaneServer
