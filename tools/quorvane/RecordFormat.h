#pragma once

#include "EventRecord.h"

#include <ostream>
#include <string>
#include <vector>

// How events reach standard output: a table sized to the terminal, one JSON
// object per line, or one event's fields one per line.
class RecordFormat
{
public:
    // width 0: no terminal, nothing is cut.
    static void table(std::ostream &out, const std::vector<EventRecord> &records, int width);
    static void json(std::ostream &out, const EventRecord &record);
    static void fields(std::ostream &out, const EventRecord &record);

    // A JSON string literal; bytes that are no valid UTF-8 become U+FFFD.
    static std::string jsonString(const std::string &text);
    // At most columns characters of UTF-8 text, with "..." when it was cut.
    static std::string fit(const std::string &text, std::size_t columns);
    // Line breaks and tabs inside a table cell would break its row.
    static std::string oneLine(const std::string &text);
};
