#pragma once

#include "store/EventRecord.h"

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

    static void append(std::string &out, const EventRecord &event);
    static std::string oneLine(const std::string &value);
};

} // namespace QuorvaneServer
