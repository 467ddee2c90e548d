#pragma once

#include "IQuorvane.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

// A host's callback object that remembers everything it hears.
class RecordingUser : public Quorvane::QuorvaneUser
{
public:
    struct Finish
    {
        int code;
        int count;
    };

    void OnFinished(int code, int count) override;
    void OnMessage(const char *text) override;
    void OnProgress(int done, int total) override;

    // Spins the event loop until the next OnFinished (or the deadline).
    bool waitForFinished(int expected = 1, int milliseconds = 30000);
    Finish last() const { return finishes.isEmpty() ? Finish { -1, -1 } : finishes.last(); }
    void clear();

    QList<Finish> finishes;
    QList<QByteArray> messages;
    QList<QPair<int, int>> progress;
    // Runs inside the callbacks, as a host's reaction would.
    std::function<void(int code, int count)> onFinished;
    std::function<void(int done, int total)> onProgress;
};

// Loads libQuorvane.so from the build's bin folder by file name, as a host
// does, and hands out its interface.
Quorvane::IQuorvane *loadLibrary(QString *why = nullptr);

// The events of the first pipe's last result list, by id.
struct ListedEvent
{
    QByteArray id;
    QByteArray name;
    QByteArray path;
    QByteArray description;
    QByteArray content;
    QByteArray type;
    QByteArray recordTime;
    int location = -1;
};
QList<ListedEvent> listedEvents(Quorvane::IQuorvane *library, int count);
// Reads both sides with no search and waits for the report; empty when the
// read failed.
QList<ListedEvent> loadAll(Quorvane::IQuorvane *library, RecordingUser &user);
// The folder of a stored event anywhere under dataFolder; empty when none.
QString eventFolder(const QString &dataFolder, const QByteArray &id);
// A copy of the listed event (empty id when it is not listed).
ListedEvent findListed(const QList<ListedEvent> &events, const QByteArray &id);
// Its location, or -1 when it is not listed.
int locationOf(const QList<ListedEvent> &events, const QByteArray &id);

// A host-made id list (the library releases it).
Quorvane::IdList idList(const QList<QByteArray> &ids);

// A record as a host builds one; the texts must outlive the call.
Quorvane::EventNative hostEvent(int kind, int access, const char *name, const char *path,
                                const char *description = "", const char *content = "");
