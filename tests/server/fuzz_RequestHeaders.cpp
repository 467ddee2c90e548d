// Range and Repr-Digest fields as any client may send them: a range served
// lies within the file, and a field never disagrees with a digest for a member
// that names it.
#include "http/RequestHeaders.h"
#include "store/Sha256.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using QuorvaneServer::RequestHeaders;
    using QuorvaneServer::Sha256;
    if (size < 8)
        return 0;
    uint64_t fileSize;
    std::memcpy(&fileSize, data, sizeof fileSize);
    // Small sizes too, where the edges are.
    if (fileSize & 1)
        fileSize = (fileSize >> 1) % 64;
    const std::string field(reinterpret_cast<const char *>(data) + 8, size - 8);

    uint64_t first = 0;
    uint64_t last = 0;
    const RequestHeaders::Range range = RequestHeaders::range(field, fileSize, first, last);
    if (range == RequestHeaders::Range::Part && (first > last || last >= fileSize))
        __builtin_trap();

    const std::string digest = field.substr(0, 32);
    const std::string ours = Sha256::reprDigest(digest);
    if (!RequestHeaders::digestAgrees(ours, digest)
        || RequestHeaders::digestAgrees(field + "," + ours, digest)
            != RequestHeaders::digestAgrees(field, digest))
        __builtin_trap();
    return 0;
}
