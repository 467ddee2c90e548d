#include "EventElement.h"

#include <cstring>

namespace Quorvane {

EventElement::EventElement(const EventElement &other)
    : EventNative(other)
    , listed(other.listed)
    , m_texts(other.m_texts)
    , m_lengths(other.m_lengths)
    , m_assigned(other.m_assigned)
{
    repoint();
}

EventElement &EventElement::operator=(const EventElement &other)
{
    if (this == &other)
        return *this;
    EventNative::operator=(other);
    listed = other.listed;
    m_texts = other.m_texts;
    m_lengths = other.m_lengths;
    m_assigned = other.m_assigned;
    repoint();
    return *this;
}

const char *&EventElement::pointer(Field field)
{
    switch (field) {
    case Content:
        return content;
    case Type:
        return type;
    case RecordChanged:
        return recordChanged;
    case RecordTime:
        return recordTime;
    case Id:
        return id;
    case Name:
        return name;
    case Path:
        return path;
    case Description:
    default:
        return description;
    }
}

// The base's pointers are public and may have been aimed elsewhere: they are
// always re-aimed from the block and the lengths alone.
void EventElement::repoint()
{
    // reserved is never the library's: a copy keeps only whether it was set.
    if (reserved)
        reserved = "";
    if (m_texts.isNull()) {
        for (int field = 0; field < FieldCount; ++field)
            pointer(Field(field)) = nullptr;
        return;
    }
    const char *at = m_texts.constData();
    for (int field = 0; field < FieldCount; ++field) {
        pointer(Field(field)) = has(Field(field)) ? at : nullptr;
        at += m_lengths[field] + 1;
    }
}

QByteArray EventElement::text(Field field) const
{
    if (!has(field))
        return QByteArray();
    const QByteArrayView bytes = view(field);
    // Never null once assigned, even when empty.
    return bytes.isEmpty() ? QByteArray("") : bytes.toByteArray();
}

QByteArrayView EventElement::view(Field field) const
{
    if (!has(field))
        return QByteArrayView();
    qsizetype offset = 0;
    for (int before = 0; before < field; ++before)
        offset += qsizetype(m_lengths[before]) + 1;
    return QByteArrayView(m_texts.constData() + offset, qsizetype(m_lengths[field]));
}

void EventElement::setTexts(const Texts &values)
{
    std::array<QByteArrayView, FieldCount> parts;
    qsizetype total = 0;
    for (int field = 0; field < FieldCount; ++field) {
        parts[field] = values[field] ? QByteArrayView(*values[field]) : view(Field(field));
        total += parts[field].size() + 1;
    }
    QByteArray block(total, Qt::Uninitialized);
    char *at = block.data();
    for (int field = 0; field < FieldCount; ++field) {
        const QByteArrayView part = parts[field];
        if (!part.isEmpty())
            std::memcpy(at, part.data(), std::size_t(part.size()));
        at[part.size()] = '\0';
        at += part.size() + 1;
        m_lengths[field] = quint32(part.size());
        if (values[field])
            m_assigned |= quint8(1u << field);
    }
    // The parts may point into the old block: it goes only now.
    m_texts = std::move(block);
    repoint();
}

void EventElement::setText(Field field, const QByteArray &value)
{
    Texts values {};
    values[field] = &value;
    setTexts(values);
}

void EventElement::unset(Field field)
{
    m_assigned &= quint8(~(1u << field));
    repoint();
}

EventElement EventElement::fromNative(const EventNative &native)
{
    auto text = [](const char *value) { return value ? QByteArray(value) : QByteArray(""); };
    const QByteArray texts[FieldCount] = {
        text(native.content),    text(native.type),        text(native.recordChanged),
        text(native.recordTime), text(native.id),          text(native.name),
        text(native.path),       text(native.description),
    };
    EventElement element;
    Texts values;
    for (int field = 0; field < FieldCount; ++field)
        values[field] = &texts[field];
    element.setTexts(values);
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
