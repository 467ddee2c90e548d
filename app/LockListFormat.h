#pragma once

#include <QByteArray>
#include <QList>

// The lock list file's bytes: one path a line, each ended by a line feed.
class LockListFormat
{
public:
    // The lines of the list. Only a final line feed is dropped, so a last
    // line without one keeps all its bytes.
    static QList<QByteArray> lines(const QByteArray &content);
    // Cuts the first line that is exactly path, with its line feed. False
    // when no line is.
    static bool removeLine(QByteArray *content, const QByteArray &path);
    // The list with path as a new last line; a last line without its line
    // feed does not run on into it. Appends in place to a list passed in by
    // moving it.
    static QByteArray appendLine(QByteArray content, const QByteArray &path);
};
