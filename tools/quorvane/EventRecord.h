#pragma once

#include "EventNative.h"

#include <string>

// An event as the library listed it, in texts the program owns.
struct EventRecord
{
    std::string id;
    std::string name;
    std::string description;
    std::string path;
    std::string content;
    std::string type;
    std::string recordTime;
    std::string recordChanged;
    int location = 3;

    static EventRecord from(const Quorvane::EventNative &event);

    // "local", "server", "both" or "unknown".
    std::string where() const;
    // Lists carry no kind: a record without a file is a text event.
    std::string kind() const;
    // recordTime in local time, "YYYY-MM-DD HH:MM"; empty when it is no number.
    std::string localTime() const;
};
