#pragma once

#include "EventRecord.h"
#include "IQuorvane.h"
#include "KnownIds.h"

#include <condition_variable>
#include <mutex>
#include <vector>

class Progress;

// The program's callback object: one per command run. The library calls it on
// its own thread; the command's thread waits for the report.
class CommandUser : public Quorvane::QuorvaneUser
{
public:
    CommandUser(Quorvane::IQuorvane *library, Progress &progress);

    // Whether the next report is the first pipe's, whose list then holds the
    // operation's events (an added text event may run on another pipe).
    void expectListOfFirstPipe(bool expect);
    // With ids (nullptr: none), reports keep only the events whose ids are
    // not among them and add theirs: each of many adds then costs its own
    // event, not a look at the whole list.
    void keepOnlyNew(KnownIds *ids);

    // Waits for the next report and returns its code. Ctrl+C cancels the
    // library's operations once; the report still comes, then 101.
    int wait();
    bool interrupted() const;
    // The library keeps the last user it was given and may still call it
    // after the command ended (another thread's transfer reports to it): such
    // users are retired, never destroyed, and stay silent.
    void retire();
    // Why the awaited operation failed as the library told it (status texts,
    // which end in "...", are no reason), or empty.
    const std::string &reason() const { return m_reason; }
    // Puts back the reason of an operation that later ones replaced.
    void restoreReason(const std::string &reason) { m_reason = reason; }
    // The first pipe's events as the last awaited report left them.
    const std::vector<EventRecord> &events() const { return m_events; }

    void OnFinished(int code, int count) override;
    void OnMessage(const char *text) override;
    void OnProgress(int done, int total) override;

private:
    Quorvane::IQuorvane *m_library;
    Progress &m_progress;
    mutable std::mutex m_mutex;
    std::condition_variable m_reported;
    bool m_finished = false;
    bool m_expectList = true;
    KnownIds *m_known = nullptr;
    bool m_interrupted = false;
    bool m_retired = false;
    int m_code = 0;
    std::string m_message;
    std::string m_reason;
    std::vector<EventRecord> m_collected;
    std::vector<EventRecord> m_events;
};
