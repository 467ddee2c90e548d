#include "EventElement.h"

namespace Quorvane {

namespace {

// A field that was assigned points at its own bytes; one never assigned stays
// null. Assigned-ness travels with the source pointer being non-null.
const char *pointAt(const char *sourcePointer, const QByteArray &bytes)
{
    return sourcePointer ? bytes.constData() : nullptr;
}

} // namespace

EventElement::EventElement(const EventElement &other)
    : EventNative(other)
    , listed(other.listed)
    , m_reserved(other.m_reserved)
    , m_content(other.m_content)
    , m_type(other.m_type)
    , m_recordChanged(other.m_recordChanged)
    , m_recordTime(other.m_recordTime)
    , m_id(other.m_id)
    , m_name(other.m_name)
    , m_path(other.m_path)
    , m_description(other.m_description)
{
    repoint();
}

EventElement &EventElement::operator=(const EventElement &other)
{
    if (this == &other)
        return *this;
    EventNative::operator=(other);
    listed = other.listed;
    m_reserved = other.m_reserved;
    m_content = other.m_content;
    m_type = other.m_type;
    m_recordChanged = other.m_recordChanged;
    m_recordTime = other.m_recordTime;
    m_id = other.m_id;
    m_name = other.m_name;
    m_path = other.m_path;
    m_description = other.m_description;
    repoint();
    return *this;
}

void EventElement::repoint()
{
    // Shared byte arrays keep their data address, but re-aim anyway so the
    // invariant never depends on that.
    reserved = pointAt(reserved, m_reserved);
    content = pointAt(content, m_content);
    type = pointAt(type, m_type);
    recordChanged = pointAt(recordChanged, m_recordChanged);
    recordTime = pointAt(recordTime, m_recordTime);
    id = pointAt(id, m_id);
    name = pointAt(name, m_name);
    path = pointAt(path, m_path);
    description = pointAt(description, m_description);
}

EventElement EventElement::fromNative(const EventNative &native)
{
    auto text = [](const char *value) { return value ? QByteArray(value) : QByteArray(""); };
    EventElement element;
    element.setContent(text(native.content));
    element.setType(text(native.type));
    element.setRecordChanged(text(native.recordChanged));
    element.setRecordTime(text(native.recordTime));
    element.setId(text(native.id));
    element.setName(text(native.name));
    element.setPath(text(native.path));
    element.setDescription(text(native.description));
    element.location = native.location;
    element.kind = native.kind;
    element.access = native.access;
    return element;
}

EventNative EventElement::hostView() const
{
    EventNative view;
    view.content = content;
    view.type = type;
    view.recordChanged = recordChanged;
    view.recordTime = recordTime;
    view.id = id;
    view.name = name;
    view.path = path;
    view.description = description;
    return view;
}

// QByteArray("") has a non-null, zero-terminated buffer, so an assigned empty
// field still points at an empty text.
static const char *textOf(QByteArray &bytes, const QByteArray &value)
{
    bytes = value.isNull() ? QByteArray("") : value;
    return bytes.constData();
}

void EventElement::setContent(const QByteArray &value)
{
    content = textOf(m_content, value);
}
void EventElement::setType(const QByteArray &value)
{
    type = textOf(m_type, value);
}
void EventElement::setRecordChanged(const QByteArray &value)
{
    recordChanged = textOf(m_recordChanged, value);
}
void EventElement::setRecordTime(const QByteArray &value)
{
    recordTime = textOf(m_recordTime, value);
}
void EventElement::setId(const QByteArray &value)
{
    id = textOf(m_id, value);
}
void EventElement::setName(const QByteArray &value)
{
    name = textOf(m_name, value);
}
void EventElement::setPath(const QByteArray &value)
{
    path = textOf(m_path, value);
}
void EventElement::setDescription(const QByteArray &value)
{
    description = textOf(m_description, value);
}

quint32 parseTimeStamp(const QByteArray &text)
{
    if (text.isEmpty())
        return 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return 0;
    }
    bool ok = false;
    const qulonglong value = text.toULongLong(&ok);
    return ok && value <= 0xFFFFFFFFull ? quint32(value) : 0;
}

QByteArray formatTimeStamp(quint32 seconds)
{
    return QByteArray::number(seconds);
}

} // namespace Quorvane
