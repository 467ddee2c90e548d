#pragma once

#include <QtGlobal>

namespace Platform {

// Process limits that holding thousands of files open runs into.
class ResourceLimits
{
public:
    // Raises the soft limit of open files to the hard limit; returns the soft
    // limit now in force (0 when it cannot be read).
    static quint64 raiseOpenFileLimit();
};

} // namespace Platform
