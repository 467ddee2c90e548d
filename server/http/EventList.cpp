#include "http/EventList.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace QuorvaneServer {

const char *const EventList::StatusLine = "OK events\n";
const char *const EventList::LoginRefused = "~**login error\n";

bool EventList::append(std::string &out, const EventRecord &event, Position &at, size_t limit)
{
    const std::pair<const char *, const std::string *> fields[] = {
        { "id\n", &event.id },
        { "name\n", &event.name },
        { "path\n", &event.path },
        { "type\n", &event.type },
        { "content\n", &event.content },
        { "description\n", &event.description },
        { "recordTime\n", &event.recordTime },
        { "recordChanged\n", &event.recordChanged },
    };
    for (; at.field < std::size(fields); ++at.field, at.offset = 0, at.keyWritten = false) {
        const std::string &value = *fields[at.field].second;
        if (!at.keyWritten) {
            out += fields[at.field].first;
            at.keyWritten = true;
        }
        while (at.offset < value.size()) {
            if (out.size() >= limit)
                return false;
            const size_t end = std::min(value.size(), at.offset + (limit - out.size()));
            for (; at.offset < end; ++at.offset) {
                const char c = value[at.offset];
                if (c == '\r' && at.offset + 1 < value.size() && value[at.offset + 1] == '\n')
                    continue;
                out += (c == '\r' || c == '\n') ? ' ' : c;
            }
        }
        out += '\n';
    }
    out += "event\n";
    return true;
}

} // namespace QuorvaneServer
