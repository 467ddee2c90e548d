// Event list answers as a server may send them: any bytes give 0, 99 or 100,
// and every event kept is listed and names a file of its own folder only.
#include "EventXml.h"

#include <QBuffer>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace Quorvane;
    QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QBuffer answer(&bytes);
    answer.open(QIODevice::ReadOnly);
    EventMap events;
    const int result = EventXml::readEventList(answer, events);
    if (result != 0 && result != 99 && result != 100)
        __builtin_trap();
    if (result == 100 && !events.isEmpty())
        __builtin_trap();
    for (auto it = events.cbegin(); it != events.cend(); ++it) {
        const QByteArray path = it->getPath();
        if (!it->listed || it.key() != it->getId() || path.contains('/') || path.contains('\\')
            || path.contains('\0') || path == "..")
            __builtin_trap();
    }
    return 0;
}
