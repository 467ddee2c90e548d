#pragma once

#include "Session.h"

#include <ostream>
#include <string>
#include <vector>

class CommandLine;

// The commands on events: list, show, add, add-text, push, pull, sync, rm
// and open. Each returns the program's exit code.
class EventCommands
{
public:
    EventCommands(const CommandLine &line, Session &session, std::ostream &out, std::ostream &err);

    int run();

    // "everyone", "friends", "me" as the record's access; -1 when unknown.
    static int accessOf(const std::string &level);

private:
    int list();
    int show();
    int add();
    int addText();
    int readToday(std::vector<std::string> *ids);
    int push();
    int pull();
    int moveListed(Session::ListOperation operation, const char *verb);
    // Runs operation on ids, then confirms they are on both sides; failures
    // are told as "cannot VERB ...".
    int runToBoth(Session::ListOperation operation, const std::vector<std::string> &ids,
                  const char *verb);
    int sync();
    int remove();
    int open();

    // The days --days, --from and --all name; false after a usage message.
    bool daysOf(ReadQuery *query);
    // The event's access from --access; false after a usage message.
    bool accessOption(int *access);
    int usage(const std::string &message);
    // The id of the event just added: new in the list, called name and made
    // at since or later.
    std::string addedId(const std::vector<std::string> &before, const std::string &name,
                        long long since);

    const CommandLine &m_line;
    Session &m_session;
    std::ostream &m_out;
    std::ostream &m_err;
};
