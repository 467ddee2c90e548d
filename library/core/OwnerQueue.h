#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace Quorvane {

// Carries work from host threads to the thread that owns the library's
// objects. The work and everything it captured travel under our own lock,
// and a waiting caller waits on our own condition; the owner is woken through
// a counter descriptor its event loop watches, so no Qt event crosses the
// threads. The hand-over is plain to see for thread checkers, which do not
// see into Qt's own locks.
class OwnerQueue : public QObject
{
    Q_OBJECT

public:
    OwnerQueue();
    ~OwnerQueue() override;

    // Runs work on the owner's event loop, later. Work still queued when the
    // queue goes is dropped unrun.
    void post(std::function<void()> work);
    // The same, waiting until work has run (or was dropped).
    void runAndWait(std::function<void()> work);

private:
    void runQueued();

    int m_wakeFd = -1;
    QSocketNotifier *m_wakeNotifier = nullptr;

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_work;
    bool m_wakePending = false;
};

} // namespace Quorvane
