// Instance channel frames as any local client may send them: a complete
// frame is exactly what encoding its contents gives, its prefixes are
// incomplete, and malformed bytes stay malformed whatever follows.
#include "MessageFrame.h"

#include <cstddef>
#include <cstdint>

using Platform::MessageFrame;
using Platform::WindowMessage;

namespace {

MessageFrame::Status request(const QByteArray &bytes)
{
    MessageFrame::Mode mode;
    WindowMessage message;
    return MessageFrame::decodeRequest(bytes, &mode, &message);
}

MessageFrame::Status reply(const QByteArray &bytes)
{
    bool handled;
    qint64 result;
    return MessageFrame::decodeReply(bytes, &handled, &result);
}

template<typename Decode> void checkPrefixesAndGrowth(const QByteArray &bytes, Decode decode)
{
    const MessageFrame::Status status = decode(bytes);
    if (status == MessageFrame::Status::Malformed
        && decode(bytes + 'x') != MessageFrame::Status::Malformed)
        __builtin_trap();
    if (status == MessageFrame::Status::Incomplete && bytes.size() >= MessageFrame::MaxRequestSize)
        __builtin_trap();
    if (status == MessageFrame::Status::Complete) {
        for (const qsizetype cut : { bytes.size() - 1, bytes.size() / 2, qsizetype(3) }) {
            if (cut >= 0 && cut < bytes.size()
                && decode(bytes.left(cut)) != MessageFrame::Status::Incomplete)
                __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    MessageFrame::Mode mode;
    WindowMessage message;
    if (MessageFrame::decodeRequest(bytes, &mode, &message) == MessageFrame::Status::Complete
        && MessageFrame::encodeRequest(mode, message) != bytes)
        __builtin_trap();
    bool handled;
    qint64 result;
    if (MessageFrame::decodeReply(bytes, &handled, &result) == MessageFrame::Status::Complete
        && MessageFrame::encodeReply(handled, result) != bytes)
        __builtin_trap();
    checkPrefixesAndGrowth(bytes, request);
    checkPrefixesAndGrowth(bytes, reply);
    return 0;
}
