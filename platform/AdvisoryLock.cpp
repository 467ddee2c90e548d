#include "AdvisoryLock.h"

#include <cerrno>
#include <sys/file.h>

namespace Platform {

bool AdvisoryLock::lockShared(int fileDescriptor)
{
    int result;
    do {
        result = ::flock(fileDescriptor, LOCK_SH | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

void AdvisoryLock::unlock(int fileDescriptor)
{
    ::flock(fileDescriptor, LOCK_UN);
}

} // namespace Platform
