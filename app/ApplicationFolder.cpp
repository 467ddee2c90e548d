#include "ApplicationFolder.h"

#include <QDir>

namespace {
QString &folder()
{
    static QString instance;
    return instance;
}
} // namespace

QString applicationFolder()
{
    return folder();
}

void setApplicationFolder(const QString &path)
{
    QString cleaned = QDir::cleanPath(QDir(path).absolutePath());
    if (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    folder() = cleaned;
}
