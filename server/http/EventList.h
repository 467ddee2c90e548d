#pragma once

#include "store/EventRecord.h"

#include <cstddef>
#include <string>

namespace QuorvaneServer {

// The event list answer: a status line, then per event key lines each followed
// by its value on one line, closed by "event". A value cannot hold a line
// break in this format, so line breaks are answered as spaces.
class EventList
{
public:
    static const char *const StatusLine;
    static const char *const LoginRefused;

    // How much of one event has been written.
    struct Position
    {
        size_t field = 0;
        size_t offset = 0;
        bool keyWritten = false;
    };
    // Appends the lines of event from at on, stopping once out holds about
    // limit bytes, so that an answer goes out in pieces of a bounded size
    // whatever an event holds. True when the event is complete.
    static bool append(std::string &out, const EventRecord &event, Position &at, size_t limit);
};

} // namespace QuorvaneServer
