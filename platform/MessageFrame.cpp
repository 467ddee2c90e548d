#include "MessageFrame.h"

#include <QtEndian>

namespace Platform {

namespace {

constexpr char RequestMagic[] = "kcm";
constexpr char ReplyMagic[] = "kcr";

QByteArray header(const char *magic, int bodySize, quint8 version = MessageFrame::Version)
{
    QByteArray bytes(magic, 3);
    bytes.append(char(version));
    char length[2];
    qToBigEndian<quint16>(quint16(bodySize), length);
    bytes.append(length, 2);
    return bytes;
}

template<typename T> void append(QByteArray *bytes, T value)
{
    char raw[sizeof(T)];
    qToBigEndian<T>(value, raw);
    bytes->append(raw, sizeof(T));
}

template<typename T> T take(const QByteArray &bytes, int offset)
{
    return qFromBigEndian<T>(bytes.constData() + offset);
}

// Whether a message whose header is sound has arrived whole, in part, or overlong.
MessageFrame::Status sizeStatus(const QByteArray &bytes, int bodySize)
{
    const int total = MessageFrame::HeaderSize + bodySize;
    if (bytes.size() > total)
        return MessageFrame::Status::Malformed;
    return bytes.size() == total ? MessageFrame::Status::Complete
                                 : MessageFrame::Status::Incomplete;
}

// Checks as much of the header as has arrived, so that garbage is refused at
// its first byte rather than after a timeout.
MessageFrame::Status checkHeader(const QByteArray &bytes, const char *magic, int bodySize)
{
    const QByteArray expected = header(magic, bodySize);
    const int checked = qMin(int(bytes.size()), MessageFrame::HeaderSize);
    if (bytes.left(checked) != expected.left(checked))
        return MessageFrame::Status::Malformed;
    return sizeStatus(bytes, bodySize);
}

// A request's header, as far as it has arrived: its version decides whether
// the body is fixed or carries a path.
MessageFrame::Status checkRequestHeader(const QByteArray &bytes)
{
    if (bytes.size() < 4 || quint8(bytes.at(3)) != MessageFrame::PathVersion)
        return checkHeader(bytes, RequestMagic, MessageFrame::RequestBodySize);
    if (!bytes.startsWith(RequestMagic))
        return MessageFrame::Status::Malformed;
    if (bytes.size() < MessageFrame::HeaderSize)
        return MessageFrame::Status::Incomplete;
    const int bodySize = take<quint16>(bytes, 4);
    if (bodySize <= MessageFrame::RequestBodySize
        || bodySize > MessageFrame::RequestBodySize + MessageFrame::MaxPathSize)
        return MessageFrame::Status::Malformed;
    return sizeStatus(bytes, bodySize);
}

} // namespace

QByteArray MessageFrame::encodeRequest(Mode mode, const WindowMessage &message)
{
    if (message.path.size() > MaxPathSize)
        return {};
    QByteArray bytes = message.path.isEmpty()
        ? header(RequestMagic, RequestBodySize)
        : header(RequestMagic, RequestBodySize + int(message.path.size()), PathVersion);
    append<quint8>(&bytes, quint8(mode));
    append<quint32>(&bytes, message.message);
    append<quint64>(&bytes, message.wParam);
    append<qint64>(&bytes, message.lParam);
    bytes += message.path;
    return bytes;
}

MessageFrame::Status MessageFrame::decodeRequest(const QByteArray &bytes, Mode *mode,
                                                 WindowMessage *message)
{
    const Status status = checkRequestHeader(bytes);
    if (status == Status::Malformed)
        return status;
    if (bytes.size() > HeaderSize) {
        const quint8 rawMode = quint8(bytes.at(HeaderSize));
        if (rawMode != quint8(Mode::Post) && rawMode != quint8(Mode::Send))
            return Status::Malformed;
    }
    if (status != Status::Complete)
        return status;
    *mode = Mode(take<quint8>(bytes, HeaderSize));
    message->message = take<quint32>(bytes, HeaderSize + 1);
    message->wParam = take<quint64>(bytes, HeaderSize + 5);
    message->lParam = take<qint64>(bytes, HeaderSize + 13);
    message->path = bytes.mid(RequestSize);
    return Status::Complete;
}

QByteArray MessageFrame::encodeReply(bool handled, qint64 result)
{
    QByteArray bytes = header(ReplyMagic, ReplyBodySize);
    append<quint8>(&bytes, handled ? 1 : 0);
    append<qint64>(&bytes, result);
    return bytes;
}

MessageFrame::Status MessageFrame::decodeReply(const QByteArray &bytes, bool *handled,
                                               qint64 *result)
{
    const Status status = checkHeader(bytes, ReplyMagic, ReplyBodySize);
    if (bytes.size() > HeaderSize && quint8(bytes.at(HeaderSize)) > 1)
        return Status::Malformed;
    if (status != Status::Complete)
        return status;
    *handled = take<quint8>(bytes, HeaderSize) == 1;
    *result = take<qint64>(bytes, HeaderSize + 1);
    return Status::Complete;
}

} // namespace Platform
