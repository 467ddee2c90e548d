#pragma once

#include <QString>
#include <functional>

namespace Platform {

// Opens a file with the program the desktop associates with it.
class DesktopOpener
{
public:
    using Handler = std::function<bool(const QString &path)>;

    // True when the desktop accepted the request.
    static bool openFile(const QString &path);

    // Tests replace the desktop: in-process with a handler, or for a library
    // loaded at run time (test builds only) with KEYCRATE_OPEN_COMMAND, a
    // program run with the path as its one argument (exit status 0: accepted).
    static void setHandler(Handler handler);
};

} // namespace Platform
