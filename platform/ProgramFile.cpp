#include "ProgramFile.h"

#include <QFileInfo>

namespace Platform {

QString ProgramFile::folder()
{
    return QFileInfo(QStringLiteral("/proc/self/exe"))
        .canonicalFilePath()
        .section(QLatin1Char('/'), 0, -2);
}

} // namespace Platform
