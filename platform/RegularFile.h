#pragma once

#include <QFile>
#include <QIODevice>
#include <QString>
#include <memory>

namespace Platform {

// Opening a path someone else named: a FIFO must not block us and a device is
// no file to lock, so only what turns out to be a regular file once opened is
// kept.
class RegularFile
{
public:
    // The file open for reading, or null when the path cannot be opened or
    // what it names is not a regular file.
    static std::unique_ptr<QFile> openForReading(const QString &path);
    // file, by its name, opened in mode (which only reads) the same way.
    static bool open(QFile &file, QIODevice::OpenMode mode);
    // The same as a blocking, close-on-exec descriptor; -1 otherwise.
    static int openDescriptor(const QByteArray &name);

    enum class Kind { Regular, Missing, Other };
    // What the path names, links followed, for exactly these bytes: no ".."
    // is taken away first, as the kernel would not either.
    static Kind kindOf(const QByteArray &path);
};

} // namespace Platform
