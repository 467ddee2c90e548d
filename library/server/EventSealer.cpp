#include "EventSealer.h"

#include "EventXml.h"
#include "NameCipher.h"

namespace Quorvane {

bool EventSealer::isKeyEvent(const EventElement &event)
{
    return event.getContent().startsWith(KeyContentPrefix);
}

QByteArray EventSealer::opaqueName(const EventElement &event)
{
    return "Encrypted [" + event.getId() + "]";
}

EventElement EventSealer::sealed(const EventElement &event, const MasterKey &key,
                                 const CipherBinding &binding)
{
    // The server only ever received a path's file name; the sealed path is
    // no different.
    const NameCipher::Fields fields { event.getName(), EventXml::pathText(event.getPath()),
                                      event.getType(), event.getContent(), event.getDescription() };
    EventElement out = event;
    out.setName(opaqueName(event));
    // A text event keeps its empty path: the list tells texts from files so.
    out.setPath(event.getPath().isEmpty() ? QByteArray() : QByteArray(OpaquePath));
    out.setType(OpaqueType);
    out.setContent(QByteArray());
    out.setDescription(NameCipher::seal(fields, key, binding));
    return out;
}

EventElement EventSealer::idOnly(const EventElement &event)
{
    EventElement out;
    out.setId(event.getId());
    out.setRecordTime(event.getRecordTime());
    out.setRecordChanged(event.getRecordChanged());
    return out;
}

EventSealer::Opened EventSealer::open(EventElement &event, const MasterKey *key,
                                      const QByteArray &account)
{
    if (!NameCipher::isSealed(event.getDescription()))
        return Opened::Plain;
    if (!key)
        return Opened::NoKey;
    NameCipher::Fields fields;
    if (NameCipher::open(event.getDescription(), *key, { account, event.getId() }, fields)
        != NameCipher::Result::Opened)
        return Opened::Refused;
    event.setName(fields.name);
    // Authenticated, yet still only ever a file name in our folders.
    event.setPath(EventXml::serverPath(fields.path));
    event.setType(fields.type);
    event.setContent(fields.content);
    event.setDescription(fields.description);
    return Opened::Opened;
}

} // namespace Quorvane
