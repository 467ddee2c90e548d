#include "http/EventList.h"

namespace QuorvaneServer {

const char *const EventList::StatusLine = "OK events\n";
const char *const EventList::LoginRefused = "~**login error\n";

std::string EventList::oneLine(const std::string &value)
{
    std::string line;
    line.reserve(value.size());
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n')
            continue;
        line += (value[i] == '\r' || value[i] == '\n') ? ' ' : value[i];
    }
    return line;
}

void EventList::append(std::string &out, const EventRecord &event)
{
    const auto field = [&out](const char *key, const std::string &value) {
        out += key;
        out += '\n';
        out += oneLine(value);
        out += '\n';
    };
    field("id", event.id);
    field("name", event.name);
    field("path", event.path);
    field("type", event.type);
    field("content", event.content);
    field("description", event.description);
    field("recordTime", event.recordTime);
    field("recordChanged", event.recordChanged);
    out += "event\n";
}

} // namespace QuorvaneServer
