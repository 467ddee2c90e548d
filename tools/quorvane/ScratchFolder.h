#pragma once

#include <string>

// Private folders in $TMPDIR (or /tmp) that a backup sends packs and stand-ins
// from. Each is named by its process, so one left by a run that was killed is
// known as nobody's and cleared by the next backup.
class ScratchFolder
{
public:
    // A new folder of the owner's only; empty with errno set when none could
    // be made.
    static std::string make();
    // Removes the folders of this user whose process is gone.
    static void removeAbandoned();
};
