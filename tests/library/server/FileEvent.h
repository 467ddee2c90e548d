#pragma once

#include "EventElement.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A file event as keycrate adds it for the backup server (server only, shared),
// stamped with the current time.
inline Quorvane::EventElement fileEvent(const QByteArray &id, const QByteArray &name,
                                        const QString &path, const QByteArray &type)
{
    const QByteArray now = QByteArray::number(QDateTime::currentSecsSinceEpoch());
    Quorvane::EventElement event;
    event.setId(id);
    event.setName(name);
    event.setPath(path.toUtf8());
    event.setType(type);
    event.setContent("");
    event.setDescription("Uploaded by KEYCRATE");
    event.setRecordTime(now);
    event.setRecordChanged(now);
    event.kind = 4;
    event.access = 1;
    return event;
}
