#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace QuorvaneServer {

class Database;

// The thread of its own on which PendingAborts and UploadLeases write the
// database, so that the short threads of the uploads never each open a
// connection to it. What the thread shares with its owner is guarded by
// m_mutex; m_changed wakes it and m_stopping asks it to end.
class DatabaseThread
{
protected:
    DatabaseThread() = default;
    // The owner stops the thread in its own destructor, while the members
    // run() uses still live.
    ~DatabaseThread();
    DatabaseThread(const DatabaseThread &) = delete;
    DatabaseThread &operator=(const DatabaseThread &) = delete;

    // Runs run on a new thread with db; db must outlive stop().
    void start(Database &db, std::function<void()> run);
    // Asks the thread to end, waits for it and lets go of the database.
    void stop();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    Database *m_db = nullptr;
    bool m_stopping = false;

private:
    std::thread m_thread;
};

} // namespace QuorvaneServer
