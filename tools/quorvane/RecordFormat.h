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
    static void table(std::ostream &out, const std::vector<const EventRecord *> &records,
                      int width);
    static void json(std::ostream &out, const EventRecord &record);
    static void fields(std::ostream &out, const EventRecord &record);

    // A JSON string literal; bytes that are no valid UTF-8 become U+FFFD.
    static std::string jsonString(const std::string &text);
    // At most columns characters of UTF-8 text, with "..." when it was cut.
    static std::string fit(const std::string &text, std::size_t columns);
    // Text from the store or a server as a terminal may show it: control
    // characters (which could move the cursor or retitle the window) become
    // "?"; line breaks and tabs too unless keepLines.
    static std::string printable(const std::string &text, bool keepLines = false);
    // Text such as a file name on one line, reversibly: a backslash, control
    // characters and bytes that are no UTF-8 become \\, \n, \t, \r or \xNN.
    static std::string escaped(const std::string &text);
    static bool isUtf8(const std::string &text);
    // Whether a server can keep it as a name: UTF-8 without the control
    // characters its event documents cannot carry (all but line breaks and tabs).
    static bool isStorable(const std::string &text);
};
