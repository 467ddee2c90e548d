#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// keycrate's private record of what it uploaded from where, so that a file
// can be put back in its original place and checked against what was sent.
// One JSON object a line, in a file only its owner may read.
class UploadJournal
{
public:
    struct Entry
    {
        QString id;
        QString path;
        QByteArray sha256; // hex
        qint64 size = -1;
    };

    // Beside the lock list.
    static QString filePath();
    // Notes that the event id holds the file at path as it is now.
    static bool record(const QString &id, const QString &path);
    // Every entry, by event id; a damaged line is skipped.
    static QHash<QString, Entry> read();
};
