#pragma once

#include "EventMap.h"

#include <QByteArray>

class QIODevice;
class QString;

namespace Quorvane {

// The event document the server receives, and the answers it sends back.
// The document is built by plain concatenation; the answers are read line by
// line. Field values are UTF-8 bytes and cross unchanged.
class EventXml
{
public:
    // Sits between the document and the file's bytes in an upload body.
    static constexpr const char *UploadSeparator = "-|+";
    static constexpr const char *LoginRefusal = "~**login error";

    // One line of markup holding the eight text fields of the event.
    static QByteArray document(const EventElement &event);
    // What the document carries as the path: the file name when the path has
    // a "/", else the path whole.
    static QByteArray pathText(const QByteArray &path);
    // "&", "<" and ">" as entities.
    static QByteArray escapeText(const QByteArray &value);
    // A CDATA section holding the value exactly, "]]>" included.
    static QByteArray cdata(const QByteArray &value);

    // No line of an answer may be longer: a server that sends an endless one
    // fails the request instead of filling the memory.
    static constexpr qint64 MaxAnswerLine = 1024 * 1024;

    static bool isLoginRefusal(const QByteArray &line);
    // The file-name part of a path the server sent, or "." when that part is
    // empty, "." or ".." or holds a NUL: a server never names a file outside
    // our folders, and an event with a path stays a file event.
    static QByteArray serverPath(const QByteArray &path);

    // Reads a read request's answer into events (complete records only,
    // marked listed). Returns 0, 100 when the server refused the login, or
    // 99 for a line longer than MaxAnswerLine.
    static int readEventList(QIODevice &answer, EventMap &events);
    // The same from a file; a file that cannot be opened holds no events.
    static int readEventList(const QString &fileName, EventMap &events);
    // 100 when the save answer's first line reports a refused login, 99 when
    // it is too long, else 0 (also when the file cannot be opened).
    static int checkSaveAnswer(const QString &fileName);
    static int checkSaveAnswer(QIODevice &answer);
};

} // namespace Quorvane
