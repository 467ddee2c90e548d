#include "AdvisoryLock.h"

#include <cerrno>
#include <sys/file.h>

namespace Platform {

namespace {
bool takeLock(int fileDescriptor, int operation)
{
    int result;
    do {
        result = ::flock(fileDescriptor, operation | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}
} // namespace

bool AdvisoryLock::lockShared(int fileDescriptor)
{
    return takeLock(fileDescriptor, LOCK_SH);
}

bool AdvisoryLock::lockExclusive(int fileDescriptor)
{
    return takeLock(fileDescriptor, LOCK_EX);
}

void AdvisoryLock::unlock(int fileDescriptor)
{
    ::flock(fileDescriptor, LOCK_UN);
}

} // namespace Platform
