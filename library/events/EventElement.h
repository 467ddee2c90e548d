#pragma once

#include "EventNative.h"

#include <QByteArray>

namespace Quorvane {

// The library's own event record: owns the bytes of every text field and keeps
// the base's pointers aimed at them after every copy, assignment and setter.
class EventElement : public EventNative
{
public:
    EventElement() = default;
    EventElement(const EventElement &other);
    EventElement &operator=(const EventElement &other);
    ~EventElement() override = default;

    // Copies the eight named texts of a host record (null becomes empty) and
    // the three integers; reserved is dropped.
    static EventElement fromNative(const EventNative &native);

    // A record pointing into this element's texts, with the integers at their
    // initial values, as getEvent hands it out.
    EventNative hostView() const;

    QByteArray getContent() const { return m_content; }
    QByteArray getType() const { return m_type; }
    QByteArray getRecordChanged() const { return m_recordChanged; }
    QByteArray getRecordTime() const { return m_recordTime; }
    QByteArray getId() const { return m_id; }
    QByteArray getName() const { return m_name; }
    QByteArray getPath() const { return m_path; }
    QByteArray getDescription() const { return m_description; }

    void setContent(const QByteArray &value);
    void setType(const QByteArray &value);
    void setRecordChanged(const QByteArray &value);
    void setRecordTime(const QByteArray &value);
    void setId(const QByteArray &value);
    void setName(const QByteArray &value);
    void setPath(const QByteArray &value);
    void setDescription(const QByteArray &value);

    bool listed = false;

private:
    void repoint();

    QByteArray m_reserved;
    QByteArray m_content;
    QByteArray m_type;
    QByteArray m_recordChanged;
    QByteArray m_recordTime;
    QByteArray m_id;
    QByteArray m_name;
    QByteArray m_path;
    QByteArray m_description;
};

// Seconds since 1970 from a time-stamp text; anything that is not a decimal
// number counts as 0.
quint32 parseTimeStamp(const QByteArray &text);
QByteArray formatTimeStamp(quint32 seconds);

} // namespace Quorvane
