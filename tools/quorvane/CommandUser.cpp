#include "CommandUser.h"

#include "Interrupt.h"
#include "Progress.h"
#include "RecordFormat.h"

#include <chrono>
#include <cstdio>
#include <cstring>

CommandUser::CommandUser(Quorvane::IQuorvane *library, Progress &progress)
    : m_library(library)
    , m_progress(progress)
{
}

void CommandUser::expectListOfFirstPipe(bool expect)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_expectList = expect;
}

void CommandUser::keepOnlyNew(KnownIds *ids)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_known = ids;
}

int CommandUser::wait()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_finished) {
        m_reported.wait_for(lock, std::chrono::milliseconds(50));
        if (!m_interrupted && Interrupt::requested()) {
            m_interrupted = true;
            lock.unlock();
            m_progress.clear();
            m_library->cancelAll();
            lock.lock();
        }
    }
    m_finished = false;
    m_reason.swap(m_message);
    m_message.clear();
    m_events.swap(m_collected);
    m_collected.clear();
    const int code = m_interrupted ? int(Quorvane::Cancelled) : m_code;
    lock.unlock();
    // What the command prints next must not land on the progress line.
    m_progress.clear();
    return code;
}

void CommandUser::retire()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_retired = true;
}

bool CommandUser::interrupted() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_interrupted || Interrupt::requested();
}

// On the library's thread: its list is read here, before another operation of
// the first pipe (from another thread of ours) can replace it.
void CommandUser::OnFinished(int code, int count)
{
    std::vector<EventRecord> collected;
    bool expectList;
    KnownIds *known;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_retired)
            return;
        expectList = m_expectList;
        known = m_known;
    }
    if (expectList) {
        Quorvane::EventNative **list = m_library->getEventList();
        if (known) {
            known->takeNew(list, count, &collected);
        } else if (list && count > 0) {
            collected.reserve(std::size_t(count));
            for (int i = 0; i < count; ++i)
                collected.push_back(EventRecord::from(*list[i]));
        }
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
        m_collected.swap(collected);
        m_finished = true;
    }
    m_reported.notify_all();
}

void CommandUser::OnMessage(const char *text)
{
    if (!text || !std::strcmp(text, "Done.") || !std::strcmp(text, "Error."))
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_retired)
        return;
    // Without a terminal the status line is silent: a reason must still be
    // told when the operation fails.
    if (std::strncmp(text, "Warning: ", 9) == 0) {
        // Told whatever the outcome: a read that succeeds may have left
        // events out.
        m_progress.clear();
        std::fprintf(stderr, "quorvane: %s\n", RecordFormat::printable(text + 9).c_str());
        return;
    }
    const std::size_t length = std::strlen(text);
    if (length < 3 || std::strcmp(text + length - 3, "...") != 0)
        m_message = text;
    m_progress.status(RecordFormat::printable(text));
}

void CommandUser::OnProgress(int done, int total)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_retired)
        m_progress.transfer(done, total);
}
