// Event documents as a client may upload them: any bytes, cut anywhere, read
// the same as when they arrive whole.
#include "http/EventDocument.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using QuorvaneServer::EventDocument;
    if (size == 0)
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data) + 1;
    const size_t length = size - 1;
    // Fed in pieces of one size, as a connection hands them over.
    const size_t piece = 1 + data[0];

    EventDocument whole(4096);
    whole.feed(bytes, length);
    whole.finish();
    // What follows a document complete in one piece is never fed.
    EventDocument pieces(4096);
    size_t at = 0;
    while (at < length && pieces.state() == EventDocument::State::Reading) {
        const size_t take = std::min(piece, length - at);
        pieces.feed(bytes + at, take);
        at += take;
    }
    const std::string unfed(bytes + at, length - at);
    pieces.finish();
    if (whole.state() != pieces.state())
        __builtin_trap();
    if (whole.state() == EventDocument::State::Complete
        && whole.takeTrailing() != pieces.takeTrailing() + unfed)
        __builtin_trap();
    return 0;
}
