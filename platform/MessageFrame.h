#pragma once

#include "WindowMessage.h"

#include <QByteArray>

namespace Platform {

// The instance channel's wire format. One connection carries one request and,
// for a send, one reply. Every frame is a 6-byte header (3 magic bytes, the
// version, the body length as big-endian 16 bits) and a fixed body:
//
//   request "kcm" 1 21 | mode u8 (0 post, 1 send) | message u32 | wParam u64 | lParam i64
//   request "kcm" 2 21+n | the same 21 bytes | path (n bytes, 1 <= n <= MaxPathSize)
//   reply   "kcr" 1 9  | handled u8 (0, 1) | result i64
//
// A request carries a path (version 2) when the message has one. Integers are
// big-endian. Anything else is malformed: a reader never waits for more than
// one frame's worth of bytes.
class MessageFrame
{
public:
    enum class Mode : quint8 { Post = 0, Send = 1 };
    enum class Status { Incomplete, Complete, Malformed };

    static constexpr quint8 Version = 1;
    static constexpr quint8 PathVersion = 2;
    static constexpr int MaxPathSize = 4096;
    static constexpr int HeaderSize = 6;
    static constexpr int RequestBodySize = 21;
    static constexpr int ReplyBodySize = 9;
    static constexpr int RequestSize = HeaderSize + RequestBodySize;
    static constexpr int ReplySize = HeaderSize + ReplyBodySize;
    static constexpr int MaxRequestSize = RequestSize + MaxPathSize;
    // The result of a request the instance did not handle because too many
    // others wait for their answers already.
    static constexpr qint64 BusyResult = -2;

    // Empty when the message's path is longer than MaxPathSize.
    static QByteArray encodeRequest(Mode mode, const WindowMessage &message);
    static Status decodeRequest(const QByteArray &bytes, Mode *mode, WindowMessage *message);

    static QByteArray encodeReply(bool handled, qint64 result);
    static Status decodeReply(const QByteArray &bytes, bool *handled, qint64 *result);
};

} // namespace Platform
