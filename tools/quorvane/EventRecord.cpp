#include "EventRecord.h"

#include <cstdlib>
#include <ctime>

namespace {

std::string text(const char *value)
{
    return value ? std::string(value) : std::string();
}

} // namespace

EventRecord EventRecord::from(const Quorvane::EventNative &event)
{
    EventRecord record;
    record.id = text(event.id);
    record.name = text(event.name);
    record.description = text(event.description);
    record.path = text(event.path);
    record.content = text(event.content);
    record.type = text(event.type);
    record.recordTime = text(event.recordTime);
    record.recordChanged = text(event.recordChanged);
    record.location = event.location;
    return record;
}

std::string EventRecord::where() const
{
    switch (location) {
    case 0:
        return "local";
    case 1:
        return "server";
    case 2:
        return "both";
    default:
        return "unknown";
    }
}

std::string EventRecord::kind() const
{
    return path.empty() ? "text" : "file";
}

std::string EventRecord::localTime() const
{
    if (recordTime.empty() || recordTime.find_first_not_of("0123456789") != std::string::npos)
        return std::string();
    const std::time_t seconds = std::time_t(std::strtoull(recordTime.c_str(), nullptr, 10));
    std::tm local {};
    if (!::localtime_r(&seconds, &local))
        return std::string();
    char shown[32];
    std::strftime(shown, sizeof shown, "%Y-%m-%d %H:%M", &local);
    return shown;
}
