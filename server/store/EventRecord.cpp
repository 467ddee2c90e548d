#include "store/EventRecord.h"

#include <limits>

namespace QuorvaneServer {

int64_t timeStampSeconds(const std::string &text)
{
    if (text.empty())
        return 0;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
        const int digit = c - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    return value;
}

const char *eventIdProblem(const std::string &id)
{
    if (id.empty())
        return "the event id is empty";
    if (id == "." || id == "..")
        return "the event id is \".\" or \"..\"";
    if (id.size() > 255)
        return "the event id is longer than 255 bytes";
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\')
            return "the event id holds a slash or a backslash";
        if (byte < 0x20 || byte == 0x7f)
            return "the event id holds a control character";
    }
    return nullptr;
}

} // namespace QuorvaneServer
