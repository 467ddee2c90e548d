#pragma once

#include "CipherBinding.h"
#include "EventElement.h"
#include "MasterKey.h"

namespace Quorvane {

// Turns an event into what the server may see of it, and back. The server
// keeps the id and the times it sorts by; the name, path, type, content and
// description travel sealed in the description.
class EventSealer
{
public:
    static constexpr const char *OpaqueType = "application/octet-stream";
    static constexpr const char *OpaquePath = "encrypted.bin";
    // Key events hold only the wrapped key and travel as they are: another
    // machine needs them before it has the key.
    static constexpr const char *KeyContentPrefix = "quorvane-key ";

    static bool isKeyEvent(const EventElement &event);
    // "Encrypted [id]", also the upload's title.
    static QByteArray opaqueName(const EventElement &event);
    static EventElement sealed(const EventElement &event, const MasterKey &key,
                               const CipherBinding &binding);
    // Only what names the event: for requests that need no more.
    static EventElement idOnly(const EventElement &event);

    enum class Opened { Plain, Opened, Refused, NoKey };
    // Replaces a sealed event's fields by the plain ones; key may be null.
    static Opened open(EventElement &event, const MasterKey *key, const QByteArray &account);
};

} // namespace Quorvane
