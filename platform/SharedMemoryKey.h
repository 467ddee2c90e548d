#pragma once

#include <QString>

namespace Platform {

// Named shared memory is machine-wide here, while a desktop session's named
// blocks are the user's own: the native key of a block adds the user's id to
// the key's usual native form, so every user publishes under the same key.
class SharedMemoryKey
{
public:
    // The native key Qt derives from key (QSharedMemory::nativeKey() after
    // setKey(key)), then "-" and the numeric user id.
    static QString nativeKey(const QString &key);
};

} // namespace Platform
