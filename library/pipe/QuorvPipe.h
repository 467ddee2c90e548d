#pragma once

#include "EventMap.h"
#include "IQuorvane.h"
#include "QuorvaneConnection.h"
#include "QuorvaneUser.h"

#include <QBasicTimer>
#include <QByteArray>
#include <QList>
#include <QSet>
#include <QVector>
#include <deque>
#include <functional>
#include <vector>

namespace Quorvane {

// Drives every event request of the library to its end over both stores. A
// server step answers 77 first; the server side then starts this pipe's timer
// when its reply is in, and each tick resumes the request until it ends. Every
// request ends with one status text ("Done." or "Error.") to the current user
// and one OnFinished(code, events in the result map) to the pipe's user.
//
// Requests never overlap: one that arrives while another is still pending
// waits in a queue and starts when the pending one has finished (see submit).
class QuorvPipe : public QuorvaneConnection
{
    Q_OBJECT

public:
    enum Operation {
        OpenOperation = 0,
        IdleOperation = 1,
        ReadOperation = 2,
        SaveOperation = 3,
        DownloadOperation = 4,
        RemoveOperation = 5,
        UpdateOperation = 6,
    };
    enum Target {
        ServerTarget = 1,
        LocalTarget = 2,
        BothTargets = 3,
    };

    // One host request as the interface hands it over. attach hooks the
    // request's user up when the request starts (empty for requests that
    // attach nobody); start runs the request's first operation. A request that
    // does not report (the local delete) says so: it has no result to end
    // with, so a cancel lets it run when its turn comes.
    struct Request
    {
        std::function<void()> attach;
        std::function<void()> start;
        bool reports = true;
    };

    QuorvPipe();
    ~QuorvPipe() override;

    QuorvaneUser *user() const { return m_user; }
    void setUser(QuorvaneUser *user) { m_user = user; }

    // Starts the request at once when the pipe is free, otherwise queues it
    // behind the pending one. A request submitted from inside OnFinished
    // starts at once: the pipe is free again by then.
    void submit(Request request);

    // Cancels the pending request (it ends with 101 when the server side has
    // given up) and ends every queued request that reports with 101 as its
    // turn comes, so the reports keep their order; one that does not report
    // runs. With nothing pending there is nothing to
    // cancel and the server side is left alone: a cancel must not poison the
    // next request.
    void cancelAll();

    bool isBusy() const { return m_busy; }

    const EventMap &results() const { return m_results; }
    EventMap &workQueue() { return m_workQueue; }

    // The last result list as the host reads it: null when empty, otherwise
    // exportedCount() pointers valid until the next request of this pipe ends.
    EventNative **exportedList();
    int exportedCount() const { return int(m_exportedPointers.size()); }

    // The request operations. Run them inside a submitted request.
    void requestRead(bool serverOption, int dayCount, int startTime, const QByteArray &searchText,
                     const QByteArray &searchFields, bool repeatLast);
    void requestOpen();
    void requestAdd(const EventElement &event);
    void requestChange(const EventElement &event);
    void requestLocalDelete();
    void uploadStep();
    void downloadStep();
    void serverDeleteStep();
    void syncStep();
    void deleteEverywhereStep();

protected:
    void timerEvent(QTimerEvent *event) override;

private:
    using Step = void (QuorvPipe::*)();
    using Qualifies = bool (*)(const EventElement &event);

    struct Queued
    {
        Request request;
        bool cancelled = false;
    };
    class CallScope;
    friend class CallScope;

    // The request's last word: 77 leaves it pending; anything else ends it.
    bool finish(int result);
    // Brings the exported list up to the result map. Only the events changed
    // since the last export are copied, so a run of many adds costs each add
    // its own event, not a copy of every event before it.
    void exportResults();
    void noteChanged(const QByteArray &id);
    int dispatch(int operation, int target, EventElement &event);
    void proceed();
    void saveLocalStep();
    void repeatRead();
    int syncRead();

    bool beginOrContinue();
    bool skipForward(Qualifies qualifies);
    bool moveOnWithoutWork();
    void runTopStep();

    EventElement *currentEvent();
    bool moveToFirst();
    bool moveToNext();
    void clearWork();

    void run(Queued &entry);
    void drainQueue();
    void cancelPending();

    QuorvaneUser *m_user = nullptr;
    // A deque keeps the exported copies in place as it grows; the pointers
    // are ordered as the result map is, by id.
    std::deque<EventElement> m_exported;
    std::vector<EventNative *> m_exportedPointers;
    QSet<QByteArray> m_changedIds;
    bool m_exportAll = true;
    QVector<Step> m_steps;
    int m_target = 0;
    EventMap m_results;
    EventMap m_workQueue;
    // The current event is kept by its key: positions into a map would not
    // survive the map being copied or detached.
    QByteArray m_currentId;
    bool m_hasCurrent = false;
    QBasicTimer m_timer;
    int m_operation = IdleOperation;

    bool m_busy = false;
    bool m_pending = false;
    bool m_draining = false;
    int m_depth = 0;
    bool m_cancelRequested = false;
    QList<Queued> m_queue;
};

} // namespace Quorvane
