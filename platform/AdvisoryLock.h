#pragma once

namespace Platform {

// Advisory file locks (flock): binding only on programs that ask for them, such
// as `flock -x`, but that is the only lock Linux offers to a file held open.
class AdvisoryLock
{
public:
    // Takes a shared lock on the open file without waiting. False when some
    // other holder has it locked exclusively.
    static bool lockShared(int fileDescriptor);
    // Takes an exclusive lock without waiting; false while anyone else holds one.
    static bool lockExclusive(int fileDescriptor);
    static void unlock(int fileDescriptor);
};

} // namespace Platform
