// Manifests come back from a server: whatever they hold, no entry that could
// lead a restore outside its folder may pass, and what passes writes back to
// a text that parses to the same entries.
#include "SnapshotManifest.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    SnapshotManifest manifest;
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    if (!SnapshotManifest::parse(text, &manifest, &refused, &error))
        return 0;
    for (const SnapshotManifest::Entry &entry : manifest.entries)
        if (!SnapshotManifest::pathProblem(entry.path).empty())
            __builtin_trap();
    SnapshotManifest again;
    if (!SnapshotManifest::parse(manifest.write(), &again, &refused, &error) || !refused.empty()
        || again.entries.size() != manifest.entries.size() || again.roots != manifest.roots)
        __builtin_trap();
    for (std::size_t i = 0; i < again.entries.size(); ++i)
        if (again.entries[i].path != manifest.entries[i].path
            || again.entries[i].target != manifest.entries[i].target
            || again.entries[i].event != manifest.entries[i].event
            || again.entries[i].offset != manifest.entries[i].offset)
            __builtin_trap();
    return 0;
}
