#pragma once

#include "EventNative.h"

#include <QByteArray>
#include <QByteArrayView>
#include <array>

namespace Quorvane {

// The library's own event record: owns the bytes of every text field and keeps
// the base's pointers aimed at them after every copy, assignment and setter.
//
// The texts lie in one shared block, each followed by a zero byte, so a record
// costs one allocation whatever its fields, and copies share the block: lists
// of a million events hold each text once.
class EventElement : public EventNative
{
public:
    enum Field {
        Content,
        Type,
        RecordChanged,
        RecordTime,
        Id,
        Name,
        Path,
        Description,
        FieldCount
    };
    using Texts = std::array<const QByteArray *, FieldCount>;

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

    // A text never assigned is the null byte array; an assigned one never is.
    QByteArray getContent() const { return text(Content); }
    QByteArray getType() const { return text(Type); }
    QByteArray getRecordChanged() const { return text(RecordChanged); }
    QByteArray getRecordTime() const { return text(RecordTime); }
    QByteArray getId() const { return text(Id); }
    QByteArray getName() const { return text(Name); }
    QByteArray getPath() const { return text(Path); }
    QByteArray getDescription() const { return text(Description); }
    // The bytes without a copy, valid until the element changes.
    QByteArrayView view(Field field) const;
    bool has(Field field) const { return m_assigned & (1u << field); }

    // A null value is stored as the empty text.
    void setContent(const QByteArray &value) { setText(Content, value); }
    void setType(const QByteArray &value) { setText(Type, value); }
    void setRecordChanged(const QByteArray &value) { setText(RecordChanged, value); }
    void setRecordTime(const QByteArray &value) { setText(RecordTime, value); }
    void setId(const QByteArray &value) { setText(Id, value); }
    void setName(const QByteArray &value) { setText(Name, value); }
    void setPath(const QByteArray &value) { setText(Path, value); }
    void setDescription(const QByteArray &value) { setText(Description, value); }
    // Sets the texts given (null pointers leave theirs alone) in one go.
    void setTexts(const Texts &values);
    // Back to never assigned; the bytes stay in the shared block.
    void unset(Field field);

    bool listed = false;

private:
    QByteArray text(Field field) const;
    void setText(Field field, const QByteArray &value);
    const char *&pointer(Field field);
    void repoint();

    QByteArray m_texts;
    std::array<quint32, FieldCount> m_lengths {};
    quint8 m_assigned = 0; // one bit per field
};

// Seconds since 1970 from a time-stamp text; anything that is not a decimal
// number counts as 0.
quint32 parseTimeStamp(const QByteArray &text);
QByteArray formatTimeStamp(quint32 seconds);

} // namespace Quorvane
