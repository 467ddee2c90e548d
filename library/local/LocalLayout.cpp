#include "LocalLayout.h"

#include "EventElement.h"

#include <QDateTime>

namespace Quorvane {

bool LocalLayout::isSafeId(const QByteArray &id)
{
    if (id.isEmpty() || id == "." || id == ".." || id.contains('/') || id.contains('\\')
        || id.contains('\0'))
        return false;
    // A name is the id read as UTF-8: bytes that are no UTF-8 (all read as
    // U+FFFD) or a byte order mark (dropped) would give two ids one folder.
    return QString::fromUtf8(id).toUtf8() == id;
}

QString LocalLayout::storedCopyName(const QByteArray &path)
{
    const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
    if (name.isEmpty() || name == "." || name == ".." || name.contains('\0'))
        return QString();
    return QString::fromUtf8(name);
}

QDate LocalLayout::localDate(qint64 secondsSinceEpoch)
{
    return QDateTime::fromSecsSinceEpoch(secondsSinceEpoch).date();
}

QString LocalLayout::dayFolder(const QString &dataFolder, const QDate &day)
{
    return dataFolder + QString::asprintf("/%04d/%02d/%02d", day.year(), day.month(), day.day());
}

QString LocalLayout::eventFolder(const QString &dataFolder, const QByteArray &recordTime,
                                 const QByteArray &id)
{
    return dayFolder(dataFolder, localDate(parseTimeStamp(recordTime))) + QLatin1Char('/')
        + QString::fromUtf8(id);
}

QString LocalLayout::generatedFile(const QString &eventFolder)
{
    return eventFolder + QLatin1String("/generated_file_name.fake_extension.txt");
}

QString LocalLayout::holdingFolder(const QString &dataFolder)
{
    return dataFolder.isEmpty() ? QString() : dataFolder + QLatin1String("/holding");
}

QString LocalLayout::holdingFile(const QString &dataFolder, const QByteArray &id)
{
    return holdingFolder(dataFolder) + QLatin1Char('/') + QString::fromUtf8(id);
}

QString LocalLayout::unfinishedFolder(const QString &dataFolder)
{
    return dataFolder.isEmpty() ? QString() : dataFolder + QLatin1String("/unfinished");
}

} // namespace Quorvane
