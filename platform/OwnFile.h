#pragma once

#include <QIODevice>
#include <string>
#include <sys/types.h>

class QFile;

namespace Platform {

// Opening a file in a folder others may plant things in (the library's store,
// a restore target, a portable program folder): a link, a FIFO, a device or
// another user's file in its place is refused, never followed or waited on.
// The check is made on what was opened, so nothing swapped in after it counts.
class OwnFile
{
public:
    // A blocking, close-on-exec descriptor of the regular file of this user
    // that path names, opened with flags (and mode when O_CREAT makes it); -1
    // with *problem saying why otherwise (and errno ENOENT only when nothing
    // is there).
    static int open(const std::string &path, int flags, std::string *problem, mode_t mode = 0600);

    enum class Missing { Create, Fail };
    // The same for file's own name, opened in mode (read, read and write, or
    // append); with Create, a mode that writes makes a missing file 0600.
    // What was wrong, other than a missing file, goes to *problem when given
    // and is warned of otherwise.
    static bool open(QFile &file, QIODevice::OpenMode mode, Missing missing = Missing::Create,
                     std::string *problem = nullptr);
};

} // namespace Platform
