#pragma once

#include <QByteArray>

namespace Quorvane {

// What a sealed event is bound to: authenticated with every piece of it, so
// that an event moved to another account, or bytes moved to another event,
// fail to open.
struct CipherBinding
{
    QByteArray account;
    QByteArray eventId;

    // Length-prefixed, so that no two bindings give the same bytes.
    QByteArray bytes() const
    {
        QByteArray out;
        for (const QByteArray *part : { &account, &eventId }) {
            const quint32 size = quint32(part->size());
            for (int shift = 0; shift < 32; shift += 8)
                out += char((size >> shift) & 0xff);
            out += *part;
        }
        return out;
    }
};

} // namespace Quorvane
