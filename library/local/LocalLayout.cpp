#include "LocalLayout.h"

#include "EventElement.h"
#include "ProcessOwnedName.h"

#include <QDateTime>
#include <cerrno>
#include <csignal>
#include <unistd.h>

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

QString LocalLayout::yearFolder(const QString &dataFolder, int year)
{
    return dataFolder + QString::asprintf("/%04d", year);
}

QString LocalLayout::monthFolder(const QString &dataFolder, const QDate &day)
{
    return yearFolder(dataFolder, day.year()) + QString::asprintf("/%02d", day.month());
}

QString LocalLayout::dayFolder(const QString &dataFolder, const QDate &day)
{
    return monthFolder(dataFolder, day) + QString::asprintf("/%02d", day.day());
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

namespace {
const std::string DownloadPrefix = "download-";
}

QString LocalLayout::unfinishedDownload(const QString &dataFolder, unsigned number)
{
    return unfinishedFolder(dataFolder) + QLatin1Char('/')
        + QString::fromStdString(ProcessOwnedName::make(DownloadPrefix, number));
}

bool LocalLayout::isAbandoned(const QString &name)
{
    const QByteArray bytes = name.toUtf8();
    if (ProcessOwnedName::leftBehind(bytes.constData(), DownloadPrefix))
        return true;
    // A change's folder: its process's number, a dash and the event's id.
    bool number = false;
    const qint64 pid = name.left(name.indexOf(QLatin1Char('-'))).toLongLong(&number);
    return number && pid > 0 && pid != ::getpid() && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

} // namespace Quorvane
