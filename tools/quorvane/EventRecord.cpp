#include "EventRecord.h"

#include <QDateTime>
#include <cstdlib>

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
    // Through Qt, which serialises its use of the time zone with other threads.
    const QDateTime local
        = QDateTime::fromSecsSinceEpoch(qint64(std::strtoull(recordTime.c_str(), nullptr, 10)));
    return local.toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
}
