#include "SharedMemoryKey.h"

#include <QSharedMemory>
#include <unistd.h>

namespace Platform {

QString SharedMemoryKey::nativeKey(const QString &key)
{
    const QSharedMemory usual(key);
    return usual.nativeKey() + QLatin1Char('-') + QString::number(getuid());
}

} // namespace Platform
