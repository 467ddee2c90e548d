#include "LibraryHost.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDirIterator>
#include <QLibrary>

void RecordingUser::OnFinished(int code, int count)
{
    finishes.append({ code, count });
    if (onFinished)
        onFinished(code, count);
}

void RecordingUser::OnMessage(const char *text)
{
    messages.append(QByteArray(text));
}

void RecordingUser::OnProgress(int done, int total)
{
    progress.append({ done, total });
    if (onProgress)
        onProgress(done, total);
}

bool RecordingUser::waitForFinished(int expected, int milliseconds)
{
    const QDeadlineTimer deadline(milliseconds);
    while (finishes.size() < expected && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 50);
    return finishes.size() >= expected;
}

void RecordingUser::clear()
{
    finishes.clear();
    messages.clear();
    progress.clear();
}

Quorvane::IQuorvane *loadLibrary(QString *why)
{
    static QLibrary library(qEnvironmentVariable("KEYCRATE_BIN_DIR")
                            + QStringLiteral("/libQuorvane.so"));
    if (!library.load()) {
        if (why)
            *why = library.errorString();
        return nullptr;
    }
    auto get = reinterpret_cast<Quorvane::GetQuorvanePointerFunction>(
        library.resolve("GetQuorvanePointer"));
    if (!get) {
        if (why)
            *why = library.errorString();
        return nullptr;
    }
    return get();
}

QList<ListedEvent> listedEvents(Quorvane::IQuorvane *library, int count)
{
    QList<ListedEvent> events;
    Quorvane::EventNative **list = library->getEventList();
    for (int i = 0; list && i < count; ++i) {
        const Quorvane::EventNative *event = list[i];
        auto text = [](const char *value) { return QByteArray(value ? value : ""); };
        events.append({ text(event->id), text(event->name), text(event->path),
                        text(event->description), text(event->content), text(event->type),
                        text(event->recordTime), event->location });
    }
    return events;
}

QList<ListedEvent> loadAll(Quorvane::IQuorvane *library, RecordingUser &user)
{
    const int before = user.finishes.size();
    if (library->loadEvents(&user, true, 0, 0, "", "", false) != 0
        || !user.waitForFinished(before + 1) || user.last().code != 0)
        return {};
    return listedEvents(library, user.last().count);
}

QString eventFolder(const QString &dataFolder, const QByteArray &id)
{
    QDirIterator it(dataFolder, QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString folder = it.next();
        if (it.fileName() == QString::fromUtf8(id))
            return folder;
    }
    return QString();
}

ListedEvent findListed(const QList<ListedEvent> &events, const QByteArray &id)
{
    for (const ListedEvent &event : events) {
        if (event.id == id)
            return event;
    }
    return ListedEvent();
}

int locationOf(const QList<ListedEvent> &events, const QByteArray &id)
{
    return findListed(events, id).location;
}

Quorvane::IdList idList(const QList<QByteArray> &ids)
{
    Quorvane::IdList list = Quorvane::IdList::withCapacity(1);
    for (const QByteArray &id : ids)
        list.append(id.constData());
    return list;
}

Quorvane::EventNative hostEvent(int kind, int access, const char *name, const char *path,
                                const char *description, const char *content)
{
    Quorvane::EventNative event;
    event.kind = kind;
    event.access = access;
    event.name = name;
    event.path = path;
    event.description = description;
    event.content = content;
    return event;
}
