// Event documents as a client may upload them: any bytes, cut anywhere, read
// the same as when they arrive whole.
#include "http/EventDocument.h"

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
    const size_t cut = data[0] % size;

    EventDocument whole(4096);
    whole.feed(bytes, length);
    whole.finish();
    // What follows a document complete in the first piece is never fed.
    EventDocument pieces(4096);
    std::string unfed;
    if (pieces.feed(bytes, cut) == EventDocument::State::Reading)
        pieces.feed(bytes + cut, length - cut);
    else
        unfed.assign(bytes + cut, length - cut);
    pieces.finish();
    if (whole.state() != pieces.state())
        __builtin_trap();
    if (whole.state() == EventDocument::State::Complete
        && whole.takeTrailing() != pieces.takeTrailing() + unfed)
        __builtin_trap();
    return 0;
}
