#include "LocalConnection.h"

#include "DesktopOpener.h"
#include "IQuorvane.h"
#include "LocalLayout.h"
#include "OwnFile.h"
#include "OwnerOnly.h"
#include "PrivateFiles.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QSet>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <iterator>
#include <unistd.h>

namespace Quorvane {

namespace {

Q_LOGGING_CATEGORY(lcLocalStore, "quorvane.local")

// The field files in the order a save writes them.
struct Field
{
    const char *name;
    QByteArray (EventElement::*value)() const;
};
const Field SaveOrder[] = {
    { "id", &EventElement::getId },
    { "description", &EventElement::getDescription },
    { "path", &EventElement::getPath },
    { "type", &EventElement::getType },
    { "name", &EventElement::getName },
    { "content", &EventElement::getContent },
    { "recordChanged", &EventElement::getRecordChanged },
    { "recordTime", &EventElement::getRecordTime },
};
// The field files a read takes, by the part of their names before the dot.
struct ReadField
{
    const char *name;
    EventElement::Field field;
};
const ReadField ReadFields[] = {
    { "id", EventElement::Id },
    { "name", EventElement::Name },
    { "description", EventElement::Description },
    { "path", EventElement::Path },
    { "recordTime", EventElement::RecordTime },
    { "recordChanged", EventElement::RecordChanged },
    { "type", EventElement::Type },
    { "content", EventElement::Content },
};
// An update starts with the path and never rewrites the id.
const Field UpdateOrder[] = {
    { "path", &EventElement::getPath },
    { "description", &EventElement::getDescription },
    { "type", &EventElement::getType },
    { "name", &EventElement::getName },
    { "content", &EventElement::getContent },
    { "recordChanged", &EventElement::getRecordChanged },
    { "recordTime", &EventElement::getRecordTime },
};

// Empty without a store: when none is configured (never the working folder of
// whatever process loaded us), or when the folder is not ours to trust.
QString currentDataFolder()
{
    const QByteArray path = dataFolder();
    if (path.isEmpty())
        return QString();
    const QString folder = QDir::cleanPath(QString::fromUtf8(path));
    const QString foreign = Platform::OwnerOnly::foreignFolder(folder);
    if (foreign.isEmpty())
        return folder;
    qCWarning(lcLocalStore).noquote() << foreign;
    return QString();
}

QString fieldFile(const QString &folder, const char *field)
{
    return folder + QLatin1Char('/') + QLatin1String(field) + QLatin1String(".txt");
}

// A short write (a full disk) is a failure, not a smaller file.
bool writeWhole(QFileDevice &file, const QByteArray &bytes)
{
    return file.write(bytes) == bytes.size() && file.flush();
}

// Created new and the owner's: whatever stands at the name (a planted link)
// fails the write instead of being written through.
bool writeNewFile(const QString &fileName, const QByteArray &bytes)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    const bool written = writeWhole(file, bytes);
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

// Replaces a field file as a whole, so a failure leaves the old content
// rather than no file.
bool replaceFile(const QString &fileName, const QByteArray &bytes)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return false;
    if (!writeWhole(file, bytes)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// The name a fetched event's file takes in its folder: the last component of
// its path; with no path, the last segment of its address's path, or
// "download" when that gives no name. A name must be usable the way an id is;
// a path that gives none leaves the event without a name (empty).
QString fetchedCopyName(const EventElement &event)
{
    const QByteArray path = event.getPath();
    if (!path.isEmpty()) {
        const QByteArray fromPath = path.mid(path.lastIndexOf('/') + 1);
        return LocalLayout::isSafeId(fromPath) ? QString::fromUtf8(fromPath) : QString();
    }
    const QByteArray addressPath
        = QUrl(QString::fromUtf8(event.getContent())).path(QUrl::FullyEncoded).toUtf8();
    const QByteArray segment
        = QByteArray::fromPercentEncoding(addressPath.mid(addressPath.lastIndexOf('/') + 1));
    if (LocalLayout::isSafeId(segment))
        return QString::fromUtf8(segment);
    return QStringLiteral("download");
}

bool isFieldFileName(const QString &name)
{
    const QString generated = LocalLayout::generatedFile(QString());
    if (name == generated.mid(1))
        return true;
    return std::any_of(std::begin(SaveOrder), std::end(SaveOrder), [&name](const Field &field) {
        return name == QLatin1String(field.name) + QLatin1String(".txt");
    });
}

// Day, month and year folders above an event folder that is gone go as long
// as they are empty; the data folder above them is never touched.
void removeEmptyDayFolders(const QString &eventFolder)
{
    QString parent = eventFolder;
    for (int level = 0; level < 3; ++level) {
        parent = QFileInfo(parent).path();
        if (!QDir().rmdir(parent))
            break;
    }
}

// A planted link goes as a link: its target is never emptied.
void removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink())
        QDir(path).removeRecursively();
    else
        QFile::remove(path);
}

void removeAbandoned(const QString &data)
{
    QDirIterator entries(LocalLayout::unfinishedFolder(data),
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    while (entries.hasNext()) {
        const QString path = entries.next();
        if (LocalLayout::isAbandoned(entries.fileName()))
            removeTree(path);
    }
}

// Each save, update or removal works in a folder named by its process and the
// id: one whose process is gone was left by a change killed half-way and is
// nobody's any more, as is a download's file there whose process is gone.
// Clears those, and what an earlier process that had our number left under
// the name, and gives the name.
QString freshUnfinishedFolder(const QString &data, const QByteArray &id)
{
    removeAbandoned(data);
    const QString folder = LocalLayout::unfinishedFolder(data) + QLatin1Char('/')
        + QString::number(::getpid()) + QLatin1Char('-') + QString::fromUtf8(id);
    removeTree(folder);
    return folder;
}

// Moves a filled event folder into its day folder in one step, never over
// another save's folder.
bool publish(const QString &unfinished, const QString &folder)
{
    if (!Platform::OwnerOnly::makeFolder(QFileInfo(folder).path()))
        return false;
    return ::renameat2(AT_FDCWD, QFile::encodeName(unfinished).constData(), AT_FDCWD,
                       QFile::encodeName(folder).constData(), RENAME_NOREPLACE)
        == 0;
}

bool isFolder(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

// The folder of an event already in the store; empty when there is none.
QString storedEventFolder(const EventElement &event)
{
    const QString data = currentDataFolder();
    const QByteArray id = event.getId();
    if (data.isEmpty() || !LocalLayout::isSafeId(id))
        return QString();
    const QString folder = LocalLayout::eventFolder(data, event.getRecordTime(), id);
    return isFolder(folder) ? folder : QString();
}

bool writeGeneratedFile(const QString &folder, const EventElement &event)
{
    return writeNewFile(LocalLayout::generatedFile(folder), event.getDescription());
}

QByteArray latin1Lower(QByteArray text)
{
    for (char &c : text) {
        const uchar u = uchar(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7))
            c = char(u + 0x20);
    }
    return text;
}

// One read's walk over day folders: each event folder below yields at most one
// event, kept when it matches the search.
class FolderScan
{
public:
    FolderScan(const QByteArray &searchFields, const QByteArray &searchText, EventMap &out)
        : m_matchAll(searchFields.isEmpty())
        , m_searchName(searchFields.contains("name"))
        , m_searchDescription(searchFields.contains("description"))
        , m_loweredText(latin1Lower(searchText))
        , m_out(out)
    {
    }

    int scan(const QString &folder)
    {
        QByteArray values[EventElement::FieldCount];
        EventElement::Texts given {};
        bool matched = false;
        QList<QFileInfo> subfolders;

        QDirIterator entries(folder,
                             QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
        while (entries.hasNext()) {
            entries.next();
            const QFileInfo info = entries.fileInfo();
            if (info.isDir()) {
                subfolders.append(info);
                continue;
            }
            const QString name = info.fileName();
            if (name.startsWith(QLatin1Char('.'))
                || !name.endsWith(QLatin1String(".txt"), Qt::CaseInsensitive))
                continue;
            // The field is named by the part before the first dot; anything
            // else in the folder (a stored copy, the generated file) is only
            // opened, to tell that it could be.
            const QStringView field = QStringView(name).left(name.indexOf(QLatin1Char('.')));
            const auto known = std::find_if(
                std::begin(ReadFields), std::end(ReadFields),
                [&field](const ReadField &read) { return field == QLatin1String(read.name); });
            QByteArray *value = known == std::end(ReadFields) ? nullptr : &values[known->field];
            if (!PrivateFiles::readWhole(info.filePath(), value)) {
                qCWarning(lcLocalStore).noquote()
                    << QCoreApplication::translate("Quorvane::LocalConnection",
                                                   "Cannot open file \"%1\".")
                           .arg(QDir::toNativeSeparators(info.absoluteFilePath()));
                return Failure;
            }
            if (!value)
                continue;
            given[known->field] = value;
            if (known->field == EventElement::Name)
                matched = matched || (m_searchName && contains(*value));
            else if (known->field == EventElement::Description)
                matched = matched || (m_searchDescription && contains(*value));
        }

        // The texts are stored in one go, once the folder is read.
        if (!values[EventElement::Id].isEmpty() && (m_matchAll || matched)) {
            EventElement event;
            event.setTexts(given);
            m_out.insert(values[EventElement::Id], event);
        }

        // A folder that cannot be read skips that event only.
        for (const QFileInfo &subfolder : std::as_const(subfolders)) {
            if (subfolder.isSymLink() && !followOnce(subfolder))
                continue;
            scan(subfolder.filePath());
        }
        return Success;
    }

private:
    bool contains(const QByteArray &field) const
    {
        return latin1Lower(field).contains(m_loweredText);
    }

    // A linked folder is entered once per read, so a link back up the tree
    // cannot make the walk endless.
    bool followOnce(const QFileInfo &link)
    {
        const QString target = link.canonicalFilePath();
        if (target.isEmpty() || m_followedLinks.contains(target))
            return false;
        m_followedLinks.insert(target);
        return true;
    }

    const bool m_matchAll;
    const bool m_searchName;
    const bool m_searchDescription;
    const QByteArray m_loweredText;
    EventMap &m_out;
    QSet<QString> m_followedLinks;
};

// The new fields are written beside hard links to the rest of the event's
// files, and that folder trades places with the event's in one step: an
// update killed half-way leaves the old event or the new one, never a mix.
// False, with nothing changed, where that cannot be done: a linked event
// folder, a folder inside it, a file system without hard links, a full disk.
bool updateBySwap(const QString &folder, const QString &dropped, const EventElement &event)
{
    const QString data = currentDataFolder();
    if (QFileInfo(folder).isSymLink())
        return false;
    const QString next = freshUnfinishedFolder(data, event.getId());
    bool done = Platform::OwnerOnly::makeFolder(next);
    QDirIterator entries(folder,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    while (done && entries.hasNext()) {
        entries.next();
        const QFileInfo info = entries.fileInfo();
        const QString name = info.fileName();
        const bool rewritten = name == dropped
            || std::any_of(std::begin(UpdateOrder), std::end(UpdateOrder), [&name](const Field &f) {
                                   return name == QLatin1String(f.name) + QLatin1String(".txt");
                               });
        done = rewritten
            || (!info.isDir()
                && ::link(QFile::encodeName(info.filePath()).constData(),
                          QFile::encodeName(next + QLatin1Char('/') + name).constData())
                    == 0);
    }
    for (const Field &field : UpdateOrder)
        done = done && writeNewFile(fieldFile(next, field.name), (event.*field.value)());
    done = done
        && ::renameat2(AT_FDCWD, QFile::encodeName(next).constData(), AT_FDCWD,
                       QFile::encodeName(folder).constData(), RENAME_EXCHANGE)
            == 0;
    // After the swap, the old event; else what was begun.
    removeTree(next);
    QDir().rmdir(LocalLayout::unfinishedFolder(data));
    return done;
}

} // namespace

int LocalConnection::readEvents(EventMap &out, bool serverOption, int dayCount, int startTime)
{
    Q_UNUSED(serverOption);
    QDate startDay;
    qint64 days = dayCount;
    if (startTime == -1) {
        startDay = QDate::currentDate();
        days = SettingsStore().readInt(SettingsStore::RefreshDays);
    } else {
        startDay = LocalLayout::localDate(startTime);
    }
    // -1 reads nothing; a count below that means nothing else.
    if (days < 0)
        return Success;

    const QString data = currentDataFolder();
    if (data.isEmpty())
        return dataFolder().isEmpty() ? Success : Failure;

    // Time stamps start in 1970, so no event lies before the last day of 1969
    // in any time zone: a huge day count stops there instead of walking for ages.
    const QDate earliest(1969, 12, 31);
    FolderScan scan(searchFields, searchText, out);
    // Most of a long history is empty: a year or a month without a folder is
    // passed over whole, where opening each of its days cost a lookup apiece
    // (twenty thousand for a read back to 1970).
    int presentYear = 0;
    int presentMonth = 0;
    for (qint64 i = 0; i <= days; ++i) {
        const QDate day = startDay.addDays(-i);
        if (!day.isValid() || day < earliest)
            break;
        if (day.year() != presentYear) {
            if (!isFolder(LocalLayout::yearFolder(data, day.year()))) {
                i += day.dayOfYear() - 1; // on to the last day of the year before
                continue;
            }
            presentYear = day.year();
        }
        if (day.year() * 12 + day.month() != presentMonth) {
            if (!isFolder(LocalLayout::monthFolder(data, day))) {
                i += day.day() - 1; // on to the last day of the month before
                continue;
            }
            presentMonth = day.year() * 12 + day.month();
        }
        const int result = scan.scan(LocalLayout::dayFolder(data, day));
        if (result != Success)
            return result;
    }
    return Success;
}

int LocalConnection::openEvent(EventElement &event)
{
    const QByteArray path = event.getPath();
    QString target;
    if (path.contains('/')) {
        target = QFileInfo(QString::fromUtf8(path)).absoluteFilePath();
    } else {
        const QString data = currentDataFolder();
        const QString name = LocalLayout::storedCopyName(path);
        // A copy never takes a field file's name: that file is the event's own.
        if (data.isEmpty() || name.isEmpty() || isFieldFileName(name))
            return Failure;
        QString folder = data;
        if (LocalLayout::isSafeId(event.getId())) {
            const QString eventFolder
                = LocalLayout::eventFolder(data, event.getRecordTime(), event.getId());
            if (isFolder(eventFolder))
                folder = eventFolder;
        }
        target = QDir(folder).absoluteFilePath(name);
    }
    return Platform::DesktopOpener::openFile(target) ? Success : Failure;
}

int LocalConnection::downloadEvent(EventElement &event)
{
    Q_UNUSED(event);
    return Failure;
}

int LocalConnection::saveEvent(EventElement &event)
{
    const QString data = currentDataFolder();
    const QByteArray id = event.getId();
    const bool named = !data.isEmpty() && LocalLayout::isSafeId(id);
    QString unfinished;
    if (named)
        unfinished = freshUnfinishedFolder(data, id);
    const int result = storeEvent(event, unfinished);
    // A save that fails leaves nothing of its own: neither the folder it began
    // nor the fetched file, so the next attempt starts afresh instead of
    // finding a half-made event.
    if (result != Success && named) {
        removeTree(unfinished);
        removeEmptyDayFolders(LocalLayout::eventFolder(data, event.getRecordTime(), id));
        QFile::remove(LocalLayout::holdingFile(data, id));
    }
    // The holding folder goes as soon as nothing waits in it any more.
    if (!data.isEmpty()) {
        QDir().rmdir(LocalLayout::holdingFolder(data));
        QDir().rmdir(LocalLayout::unfinishedFolder(data));
    }
    return result;
}

int LocalConnection::storeEvent(EventElement &event, const QString &unfinished)
{
    const QString data = currentDataFolder();
    const QByteArray id = event.getId();
    if (data.isEmpty() || !LocalLayout::isSafeId(id))
        return Failure;

    const QString holdingFile = LocalLayout::holdingFile(data, id);
    const bool serverOnly = event.location == 1;
    // A text event has no file of the user's; an added fetched event has the
    // file it just fetched in its holding file.
    const bool textEvent = event.kind == 1 || event.kind == 2;
    // The holding file counts only as what its opening finds: a regular file of
    // this user, never a link (which the store would keep as the copy) or a FIFO.
    QFile holding(holdingFile);
    std::string problem;
    const bool held = (serverOnly || event.kind == 0)
        && Platform::OwnFile::open(holding, QIODevice::ReadWrite, Platform::OwnFile::Missing::Fail,
                                   &problem);
    if (!problem.empty())
        qCWarning(lcLocalStore, "%s", problem.c_str());
    const bool fetched = !serverOnly && event.kind == 0 && held;
    if (serverOnly) {
        // The downloaded file must be there and usable before anything is made.
        if (!held)
            return Failure;
    } else if (!textEvent && !fetched && !QFileInfo(QString::fromUtf8(event.getPath())).isFile()) {
        QFile::remove(holdingFile);
        return Failure;
    }

    const QString copyName
        = event.kind == 0 ? fetchedCopyName(event) : LocalLayout::storedCopyName(event.getPath());
    const QString folder = LocalLayout::eventFolder(data, event.getRecordTime(), id);
    // Fetched bytes without a name to keep them under are not stored at all.
    if (QFileInfo::exists(folder) || (fetched && copyName.isEmpty())) {
        QFile::remove(holdingFile);
        return Failure;
    }
    if (!Platform::OwnerOnly::makeFolder(unfinished))
        return Failure;

    for (const Field &field : SaveOrder) {
        QByteArray value = (event.*field.value)();
        // A fetched event records where its copy will lie in the folder.
        if (qstrcmp(field.name, "path") == 0 && event.kind == 0)
            value = QDir(folder).absoluteFilePath(copyName).toUtf8();
        if (!writeNewFile(fieldFile(unfinished, field.name), value))
            return Failure;
    }

    if (serverOnly && event.getPath().isEmpty() && event.getContent().isEmpty())
        return publish(unfinished, folder) ? Success : Failure;
    // A text event keeps its text as the file its upload sends.
    if (textEvent)
        return writeGeneratedFile(unfinished, event) && publish(unfinished, folder) ? Success
                                                                                    : Failure;
    if (!serverOnly) {
        if (!fetched)
            return publish(unfinished, folder) ? Success : Failure;
        // The fetched bytes become the stored copy, and the event now names
        // it, so the upload that follows sends what was fetched.
        if (!QFile::rename(holdingFile, QDir(unfinished).absoluteFilePath(copyName))
            || !publish(unfinished, folder))
            return Failure;
        event.setPath(QDir(folder).absoluteFilePath(copyName).toUtf8());
        return Success;
    }
    // QFile::rename never replaces an existing entry, so a copy named like a
    // field file cannot overwrite that field.
    if (copyName.isEmpty())
        return Failure;
    return QFile::rename(holdingFile, unfinished + QLatin1Char('/') + copyName)
            && publish(unfinished, folder)
        ? Success
        : Failure;
}

int LocalConnection::removeEvent(EventElement &event)
{
    const QString folder = storedEventFolder(event);
    if (folder.isEmpty())
        return Failure;

    // The event leaves the day folder in one step before its files go, so a
    // removal killed half-way never leaves an event listed without its copy;
    // the next save clears what it left.
    const QString data = currentDataFolder();
    const QString leaving = freshUnfinishedFolder(data, event.getId());
    if (!Platform::OwnerOnly::makeFolder(LocalLayout::unfinishedFolder(data))
        || !QFile::rename(folder, leaving)) {
        QDir().rmdir(LocalLayout::unfinishedFolder(data));
        return Failure;
    }

    const QString copyName = LocalLayout::storedCopyName(event.getPath());
    if (!copyName.isEmpty())
        QFile::remove(leaving + QLatin1Char('/') + copyName);
    QDirIterator fieldFiles(leaving, { QStringLiteral("*.txt") }, QDir::Files | QDir::Hidden);
    while (fieldFiles.hasNext())
        QFile::remove(fieldFiles.next());

    // Files of the user's own stay where they were.
    const bool removed = QDir().rmdir(leaving);
    if (!removed)
        publish(leaving, folder);
    QDir().rmdir(LocalLayout::unfinishedFolder(data));
    if (!removed)
        return Failure;
    removeEmptyDayFolders(folder);
    return Success;
}

int LocalConnection::updateEvent(EventElement &event)
{
    const QString folder = storedEventFolder(event);
    if (folder.isEmpty())
        return Failure;

    QByteArray oldPath;
    const QString pathFile = fieldFile(folder, "path");
    if (QFileInfo::exists(pathFile)) {
        QFile file(pathFile);
        if (!PrivateFiles::openForReading(file))
            return Failure;
        oldPath = file.readAll();
    }
    // A bare old path names the event's stored copy, which the new path
    // replaces. Field files are never taken for a copy (id.txt is never
    // rewritten), and a copy that is already gone is no failure.
    QString dropped;
    if (!oldPath.isEmpty() && !oldPath.contains('/')) {
        const QString copyName = LocalLayout::storedCopyName(oldPath);
        bool isField = false;
        for (const Field &field : SaveOrder)
            isField = isField || copyName == QLatin1String(field.name) + QLatin1String(".txt");
        if (!isField)
            dropped = copyName;
    }
    if (updateBySwap(folder, dropped, event))
        return Success;

    if (!dropped.isEmpty()) {
        const QString copy = folder + QLatin1Char('/') + dropped;
        if (QFileInfo(copy).exists() && !QFile::remove(copy))
            return Failure;
    }
    for (const Field &field : UpdateOrder) {
        if (!replaceFile(fieldFile(folder, field.name), (event.*field.value)()))
            return Failure;
    }
    return Success;
}

void LocalConnection::setParameters(int first, int second, const QByteArray &firstText,
                                    const QByteArray &secondText)
{
    Q_UNUSED(first);
    Q_UNUSED(second);
    Q_UNUSED(firstText);
    Q_UNUSED(secondText);
}

bool LocalConnection::isAvailable()
{
    return true;
}

} // namespace Quorvane
