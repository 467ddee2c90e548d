// The journal as a crash or a power cut may leave it, read as root at every
// start: any bytes parse, and what parses is what was written.
#include "LockJournal.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    const LockJournal::Entries entries = LockJournal::parse(text);
    std::size_t bytes = 0;
    for (const auto &[key, path] : entries)
        bytes += path.size();
    if (bytes > text.size())
        __builtin_trap();
    // Written anew (as a rewrite does), the entries read back the same.
    std::string again;
    for (const auto &[key, path] : entries)
        again += "+ " + std::to_string(key.device) + ' ' + std::to_string(key.inode) + ' '
            + std::to_string(path.size()) + ' ' + path + '\n';
    if (LockJournal::parse(again) != entries)
        __builtin_trap();
    return 0;
}
