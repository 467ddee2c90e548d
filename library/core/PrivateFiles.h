#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

class QFile;

namespace Quorvane {

// How the library touches the disk: what it creates is the owner's alone
// whatever the umask, and what it reads is a regular file, so a named pipe
// or a device in a file's place can never block an operation.
class PrivateFiles
{
public:
    // Opens file (by its name) read-only and unbuffered when it names a
    // regular file; anything else fails without waiting for a writer.
    static bool openForReading(QFile &file);
    // Reads the regular file fileName names whole into content, or with a
    // null content only opens it, by the same rules: no QFile, a few system
    // calls, for reads of many small files.
    static bool readWhole(const QString &fileName, QByteArray *content);
};

} // namespace Quorvane
