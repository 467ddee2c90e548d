#pragma once

#include <QString>

namespace Platform {

// The running program's own file, known before any application object exists.
class ProgramFile
{
public:
    // Its folder, absolute and with links resolved.
    static QString folder();
};

} // namespace Platform
