#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace Quorvane {

// A list of event ids handed to the library's list operations. Entries and the
// pointer array come from the C heap on both sides of the boundary, so either
// deliverable may build a list and the library releases it.
struct IdList
{
    static constexpr int IdLength = 36;
    static constexpr int EntrySize = IdLength + 1;
    static constexpr int GrowthStep = 47;

    char **items = nullptr;
    std::int32_t count = 0;
    std::int32_t capacity = 0;

    // A fresh list as the library makes it: room for one id.
    static IdList withCapacity(std::int32_t slotCount = 1)
    {
        IdList list;
        list.grow(slotCount);
        return list;
    }

    // Takes exactly 36 characters; a shorter id stops at its zero and the rest
    // of the entry is zero-filled.
    void append(const char *id)
    {
        if (capacity < count + 1)
            grow(count + GrowthStep);
        char *entry = static_cast<char *>(std::calloc(EntrySize, 1));
        if (id)
            std::strncpy(entry, id, IdLength);
        entry[IdLength] = '\0';
        items[count++] = entry;
    }

    // Never drops entries: a list cannot shrink below its count. (Not named
    // "slots": Qt defines that word as a macro.)
    void grow(std::int32_t slotCount)
    {
        if (slotCount < count)
            slotCount = count;
        char **grown
            = static_cast<char **>(std::calloc(slotCount > 0 ? slotCount : 1, sizeof(char *)));
        for (std::int32_t i = 0; i < count; ++i)
            grown[i] = items[i];
        std::free(items);
        items = grown;
        capacity = slotCount;
    }

    IdList copy() const
    {
        IdList other;
        other.grow(capacity > count ? capacity : count);
        for (std::int32_t i = 0; i < count; ++i) {
            char *entry = static_cast<char *>(std::malloc(EntrySize));
            std::memcpy(entry, items[i], EntrySize);
            other.items[i] = entry;
        }
        other.count = count;
        return other;
    }

    void release()
    {
        for (std::int32_t i = 0; i < count; ++i)
            std::free(items[i]);
        std::free(items);
        items = nullptr;
        count = 0;
        // No slots remain: a later append must allocate anew.
        capacity = 0;
    }
};

} // namespace Quorvane
