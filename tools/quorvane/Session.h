#pragma once

#include "CommandUser.h"
#include "EventRecord.h"
#include "IQuorvane.h"

#include <ostream>
#include <string>
#include <vector>

class Progress;

// Which events a read covers: startTime -1 is today with refresh_days.
struct ReadQuery
{
    bool server = false;
    int startTime = -1;
    int dayCount = 0;
    std::string searchText;
    std::string searchFields;

    // Every day from the first day of time stamps up to today.
    static ReadQuery everything(bool server);
};

// One command's conversation with the library: its operations, each awaited,
// and the failures told on stderr with their exit codes.
class Session
{
public:
    using ListOperation = int (Quorvane::IQuorvane::*)(Quorvane::IdList, Quorvane::QuorvaneUser *);

    Session(Quorvane::IQuorvane *library, Progress &progress, std::ostream &err);
    ~Session();

    Quorvane::IQuorvane *library() const { return m_library; }
    CommandUser &user() { return *m_user; }
    bool interrupted() const { return m_user->interrupted(); }

    // A read; its events are then events().
    int read(const ReadQuery &query);
    const std::vector<EventRecord> &events() const { return m_user->events(); }
    const EventRecord *find(const std::string &id) const;
    // Completes ids to the events read (an id's first characters will do when
    // they name one event); false after saying which one names none or several.
    bool resolve(std::vector<std::string> *ids);

    // Runs a list operation on ids (which the last read must hold); without
    // keepList, events() is empty until the next read.
    int run(ListOperation operation, const std::vector<std::string> &ids, bool keepList = true);
    // Reads both sides again and checks that each event is where an operation
    // that reported success should have left it: the library runs a list
    // operation on what it still finds of the ids and reports no others.
    enum class Expected { Both, NotOnServer, Nowhere };
    int confirm(const std::vector<std::string> &ids, Expected expected);
    // Adds an event and waits; firstPipe tells whether its report carries the
    // first pipe's list (files do, texts may not).
    int add(const Quorvane::EventNative &event, bool firstPipe);

    // Removes local copies (the library reports nothing for that) and reads
    // again to tell whether they are gone.
    int removeLocal(const std::vector<std::string> &ids);

    // Says on stderr what failed and why; returns the exit code for code.
    int fail(const std::string &what, int code, bool server);
    static int exitCode(int libraryCode);

    // The data folder, set to keycrate's default when it is still unset.
    void provideDataFolder();

    // Waits for the report of an operation the library answered result to.
    int await(int result);

private:
    Quorvane::IQuorvane *m_library;
    Progress &m_progress;
    std::ostream &m_err;
    // Kept for the life of the process: see CommandUser::retire.
    CommandUser *m_user;
};
