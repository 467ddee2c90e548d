#pragma once

#include <cstdint>

namespace Quorvane {

// The plain event record that crosses the library boundary. It owns none of
// its texts: whoever fills it keeps them alive while the record is in use.
// A null text counts as the empty text.
struct EventNative
{
    EventNative() = default;
    EventNative(const EventNative &) = default;
    EventNative &operator=(const EventNative &) = default;
    virtual ~EventNative() = default;

    const char *reserved = nullptr;
    const char *content = nullptr;
    const char *type = nullptr;
    const char *recordChanged = nullptr;
    const char *recordTime = nullptr;
    const char *id = nullptr;
    const char *name = nullptr;
    const char *path = nullptr;
    const char *description = nullptr;

    // 0 local only, 1 server only, 2 both, 3 not determined
    std::int32_t location = 3;
    // 0 fetched from content, 1/2 text, 3 file, 4 file for the server only
    std::int32_t kind = 3;
    // 0 everyone, 1 owner, 2 server "-1", 3 friends, other: default_access
    std::int32_t access = 4;
};

} // namespace Quorvane
