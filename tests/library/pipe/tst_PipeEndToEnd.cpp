// Every event operation of the library, through IQuorvane only, against the
// reference backup server on a loopback port.

#include "LibraryHost.h"
#include "LibrarySettings.h"
#include "ReferenceServer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <memory>

using namespace Quorvane;

class PipeEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void addOfServerOnlyEventUploadsAndStoresNothing();
    void addOfPrivateFileEventStaysLocal();
    void addOfFileEventSavesUploadsAndRereads();
    void addsAfterALoadGrowItsListInIdOrder();
    void loadMergesBothSides();
    void uploadSendsOnlyLocalEvents();
    void failedUploadStopsTheRun();
    void downloadStoresTheFileByteForByte();
    void serverIdsNeverBlockTheStore();
    void syncBringsBothSidesTogether();
    void deleteServerEventsKeepsTheLocalCopy();
    void deleteEventsRemovesBothCopies();
    void deleteLocalEventsReportsNothing();
    void openEventFileUsesTheDesktop();
    void changeEventRewritesTheLocalCopy();
    void cancelDuringLargeUpload();
    void backToBackRequestsRunInOrder();
    void stepsMoveOnPastEventsThatNeedNothing();

private:
    QString makeFile(const QString &name, const QByteArray &bytes);
    // Adds a record and waits for its report; the id comes from the result list.
    QByteArray add(int kind, int access, const QByteArray &name, const QString &path);
    QList<ListedEvent> load(RecordingUser &user);
    QList<ListedEvent> load() { return load(m_user); }

    IQuorvane *m_library = nullptr;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QTemporaryDir> m_files;
    RecordingUser m_user;
};

void PipeEndToEnd::initTestCase()
{
    QString why;
    m_library = loadLibrary(&why);
    QVERIFY2(m_library, qPrintable(why));
}

void PipeEndToEnd::init()
{
    // A fresh server, data folder and user per test: nothing carries over.
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    m_data = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    QVERIFY(m_data->isValid() && m_files->isValid());
    LibrarySettings::configure(m_server->url(), m_data->path());
    m_library->setDataPath(m_data->path().toUtf8().constData());
    m_library->setCredentials(ReferenceServer::User, ReferenceServer::Password);
    m_user.clear();
    m_user.onFinished = nullptr;
    m_user.onProgress = nullptr;
}

void PipeEndToEnd::cleanup()
{
    m_server.reset();
}

QString PipeEndToEnd::makeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = m_files->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QByteArray PipeEndToEnd::add(int kind, int access, const QByteArray &name, const QString &path)
{
    const QByteArray pathBytes = path.toUtf8();
    const int before = m_user.finishes.size();
    if (m_library->addEvent(hostEvent(kind, access, name.constData(), pathBytes.constData()),
                            &m_user)
        != 0)
        return QByteArray();
    if (!m_user.waitForFinished(before + 1) || m_user.last().code != 0)
        return QByteArray();
    for (const ListedEvent &event : listedEvents(m_library, m_user.last().count)) {
        if (event.name == name)
            return event.id;
    }
    return QByteArray();
}

QList<ListedEvent> PipeEndToEnd::load(RecordingUser &user)
{
    return loadAll(m_library, user);
}

void PipeEndToEnd::addOfServerOnlyEventUploadsAndStoresNothing()
{
    const QString path = makeFile(QStringLiteral("report.pdf"), "%PDF server copy");
    const QByteArray id = add(4, 1, "File [report.pdf]", path);
    QVERIFY(!id.isEmpty());
    QCOMPARE(m_user.messages.first(), QByteArray("Uploading event \"File [report.pdf]\"..."));
    QCOMPARE(m_user.messages.last(), QByteArray("Done."));

    // Nothing but the server's answer files lands in the data folder.
    QVERIFY(QDir(m_data->path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());

    const QList<ListedEvent> listed = load();
    const ListedEvent event = findListed(listed, id);
    QVERIFY(!event.id.isEmpty());
    QCOMPARE(event.location, 1);
    QCOMPARE(event.type, QByteArray("application/pdf"));
}

void PipeEndToEnd::addOfPrivateFileEventStaysLocal()
{
    const QString path = makeFile(QStringLiteral("private.txt"), "only here");
    const QByteArray id = add(3, 2, "Private", path);
    QVERIFY(!id.isEmpty());
    for (const QByteArray &message : std::as_const(m_user.messages))
        QVERIFY2(!message.startsWith("Uploading"), message.constData());
    // The add ends with the read again: the event is listed as local only.
    QVERIFY(m_user.messages.contains("Reading events from server..."));
    QCOMPARE(locationOf(listedEvents(m_library, m_user.last().count), id), 0);
    QVERIFY(!eventFolder(m_data->path(), id).isEmpty());

    const ListedEvent event = findListed(load(), id);
    QVERIFY(!event.id.isEmpty());
    QCOMPARE(event.location, 0);
    QCOMPARE(event.path, path.toUtf8());
}

void PipeEndToEnd::addOfFileEventSavesUploadsAndRereads()
{
    const QString path = makeFile(QStringLiteral("notes.txt"), "both sides");
    const QByteArray id = add(3, 1, "Synced", path);
    QVERIFY(!id.isEmpty());
    const QList<QByteArray> expected { "Uploading event \"Synced\"...",
                                       "Reading events from server...", "Done." };
    QCOMPARE(m_user.messages, expected);
    QCOMPARE(m_user.finishes.size(), 1);

    const ListedEvent event = findListed(listedEvents(m_library, m_user.last().count), id);
    QVERIFY(!event.id.isEmpty());
    QCOMPARE(event.location, 2);
    QCOMPARE(event.type, QByteArray("text/plain"));
    QVERIFY(!eventFolder(m_data->path(), id).isEmpty());
}

// Each add's report lists what the read listed and every event added since,
// ordered by id, whatever order the ids came in. With nothing stored here the
// read's list is the server's own; the adds must not change what that holds.
void PipeEndToEnd::addsAfterALoadGrowItsListInIdOrder()
{
    const QByteArray first = add(4, 1, "First", makeFile("first.txt", "there"));
    QVERIFY(!first.isEmpty());
    QCOMPARE(load().size(), 1);

    QList<QByteArray> ids { first };
    for (int i = 0; i < 6; ++i) {
        const QByteArray name = "File " + QByteArray::number(i);
        const QByteArray id = add(4, 1, name, makeFile(QString::number(i), name));
        QVERIFY(!id.isEmpty());
        ids.append(id);
        const QList<ListedEvent> listed = listedEvents(m_library, m_user.last().count);
        QList<QByteArray> listedIds;
        for (const ListedEvent &event : listed)
            listedIds.append(event.id);
        QList<QByteArray> expected = ids;
        std::sort(expected.begin(), expected.end());
        QCOMPARE(listedIds, expected);
        const ListedEvent added = findListed(listed, id);
        QCOMPARE(added.name, name);
        QCOMPARE(added.path, m_files->filePath(QString::number(i)).toUtf8());
        QCOMPARE(added.location, 3);
        const ListedEvent read = findListed(listed, first);
        QCOMPARE(read.name, QByteArray("First"));
        QCOMPARE(read.location, 1);
    }
    // A read of the local store alone lists the server's last list again,
    // untouched by the adds; a read of both lists them all.
    const int before = m_user.finishes.size();
    QCOMPARE(m_library->loadEvents(&m_user, false, 0, 0, "", "", false), 0);
    QVERIFY(m_user.waitForFinished(before + 1));
    const QList<ListedEvent> cached = listedEvents(m_library, m_user.last().count);
    QCOMPARE(cached.size(), 1);
    QCOMPARE(cached.first().location, 1);
    const QList<ListedEvent> reread = load();
    QCOMPARE(reread.size(), ids.size());
    QCOMPARE(locationOf(reread, ids.last()), 1);
}

void PipeEndToEnd::loadMergesBothSides()
{
    const QByteArray first = add(3, 1, "First", makeFile("1.txt", "1"));
    const QByteArray second = add(3, 1, "Second", makeFile("2.txt", "2"));
    const QByteArray serverOnly = add(3, 1, "Third", makeFile("3.txt", "3"));
    QVERIFY(!first.isEmpty() && !second.isEmpty() && !serverOnly.isEmpty());
    QCOMPARE(m_library->deleteLocalEvents(idList({ serverOnly })), 0);
    const QByteArray localOnly = add(3, 2, "Fourth", makeFile("4.txt", "4"));
    QVERIFY(!localOnly.isEmpty());

    m_user.clear();
    QCOMPARE(m_library->loadEvents(&m_user, true, 0, 0, "", "", false), 0);
    // Nothing is reported before the server has answered.
    QVERIFY(m_user.finishes.isEmpty());
    QCOMPARE(m_user.messages, QList<QByteArray> { "Reading events from server..." });
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.messages.last(), QByteArray("Done."));
    QCOMPARE(m_user.finishes.size(), 1);
    QCOMPARE(m_user.last().code, 0);
    QCOMPARE(m_user.last().count, 4);

    const QList<ListedEvent> listed = listedEvents(m_library, 4);
    QCOMPARE(locationOf(listed, first), 2);
    QCOMPARE(locationOf(listed, second), 2);
    QCOMPARE(locationOf(listed, serverOnly), 1);
    QCOMPARE(locationOf(listed, localOnly), 0);
    QVERIFY(std::is_sorted(listed.begin(), listed.end(),
                           [](const ListedEvent &a, const ListedEvent &b) { return a.id < b.id; }));
}

void PipeEndToEnd::uploadSendsOnlyLocalEvents()
{
    const QByteArray a = add(3, 2, "Local A", makeFile("a.txt", "a"));
    const QByteArray b = add(3, 2, "Local B", makeFile("b.txt", "b"));
    const QByteArray synced = add(3, 1, "On both", makeFile("c.txt", "c"));
    QVERIFY(!a.isEmpty() && !b.isEmpty() && !synced.isEmpty());
    QCOMPARE(load().size(), 3);

    m_user.clear();
    QCOMPARE(m_library->uploadEvents(idList({ synced, a, b }), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    // The event already on the server is not sent again.
    const auto uploads
        = std::count_if(m_user.messages.begin(), m_user.messages.end(),
                        [](const QByteArray &m) { return m.startsWith("Uploading"); });
    QCOMPARE(uploads, 2);

    const QList<ListedEvent> listed = load();
    for (const QByteArray &id : { a, b, synced })
        QCOMPARE(locationOf(listed, id), 2);
}

void PipeEndToEnd::failedUploadStopsTheRun()
{
    QList<QByteArray> ids;
    QStringList paths;
    for (int i = 0; i < 3; ++i) {
        paths << makeFile(QStringLiteral("run%1.txt").arg(i), "run");
        ids << add(3, 2, "Run " + QByteArray::number(i), paths.last());
        QVERIFY(!ids.last().isEmpty());
    }
    QCOMPARE(load().size(), 3);
    // The run goes in id order; the middle event's file has gone.
    QList<QByteArray> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    QVERIFY(QFile::remove(QString::fromUtf8(findListed(load(), sorted[1]).path)));

    m_user.clear();
    QCOMPARE(m_library->uploadEvents(idList(ids), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 99);
    QCOMPARE(m_user.messages.last(), QByteArray("Error."));
    QCOMPARE(m_user.finishes.size(), 1);

    const QList<ListedEvent> listed = load();
    QCOMPARE(locationOf(listed, sorted[0]), 2);
    QCOMPARE(locationOf(listed, sorted[1]), 0);
    QCOMPARE(locationOf(listed, sorted[2]), 0);
}

void PipeEndToEnd::downloadStoresTheFileByteForByte()
{
    QByteArray bytes(300 * 1024, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    const QByteArray id = add(3, 1, "Binary", makeFile("photo.png", bytes));
    QVERIFY(!id.isEmpty());

    // A second machine: an empty data folder, same account.
    QTemporaryDir second;
    m_library->setDataPath(second.path().toUtf8().constData());
    const ListedEvent listed = findListed(load(), id);
    QVERIFY(!listed.id.isEmpty());
    QCOMPARE(listed.location, 1);

    m_user.clear();
    QCOMPARE(m_library->downloadEvents(idList({ id }), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QCOMPARE(m_user.messages.first(), QByteArray("Downloading event \"Binary\"..."));

    const QString folder = eventFolder(second.path(), id);
    QVERIFY(!folder.isEmpty());
    QFile stored(folder + QStringLiteral("/photo.png"));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == bytes);
    // The holding file has become the stored copy.
    QVERIFY(!QFile::exists(second.filePath(QString::fromUtf8(id))));
    QCOMPARE(locationOf(load(), id), 2);
}

void PipeEndToEnd::serverIdsNeverBlockTheStore()
{
    // Ids another client chose, named like the store's own entries beside
    // the holding files: this year's folder and a response file.
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray year = QByteArray::number(now.date().year());
    const QList<QByteArray> ids { year, "GetEvents.ServerResponse.txt" };
    for (const QByteArray &id : ids)
        QVERIFY(m_server->upload(id, "Named " + id, "held.bin", "bytes of " + id,
                                 now.toSecsSinceEpoch()));
    for (const QByteArray &id : ids)
        QCOMPARE(locationOf(load(), id), 1);

    m_user.clear();
    QCOMPARE(m_library->downloadEvents(idList(ids), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    const QString day = m_data->filePath(now.date().toString(QStringLiteral("yyyy/MM/dd")));
    for (const QByteArray &id : ids) {
        QFile stored(day + '/' + QString::fromUtf8(id) + QStringLiteral("/held.bin"));
        QVERIFY2(stored.open(QIODevice::ReadOnly), qPrintable(stored.fileName()));
        QCOMPARE(stored.readAll(), "bytes of " + id);
    }

    // This year's events are still saved, and everything reads back.
    const QByteArray local = add(3, 2, "After", makeFile("after.txt", "after"));
    QVERIFY(!local.isEmpty());
    const QList<ListedEvent> listed = load();
    QCOMPARE(locationOf(listed, local), 0);
    for (const QByteArray &id : ids)
        QCOMPARE(locationOf(listed, id), 2);
}

void PipeEndToEnd::syncBringsBothSidesTogether()
{
    const QByteArray serverOnly = add(3, 1, "Server side", makeFile("s.txt", "server"));
    const QByteArray localOnly = add(3, 2, "Local side", makeFile("l.txt", "local"));
    const QByteArray both = add(3, 1, "Both sides", makeFile("b.txt", "both"));
    QVERIFY(!serverOnly.isEmpty() && !localOnly.isEmpty() && !both.isEmpty());
    QCOMPARE(m_library->deleteLocalEvents(idList({ serverOnly })), 0);
    const QList<ListedEvent> before = load();
    QCOMPARE(locationOf(before, serverOnly), 1);
    QCOMPARE(locationOf(before, localOnly), 0);

    m_user.clear();
    QCOMPARE(m_library->syncEvents(idList({ serverOnly, localOnly, both }), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QVERIFY(m_user.messages.contains("Downloading event \"Server side\"..."));
    QVERIFY(m_user.messages.contains("Uploading event \"Local side\"..."));
    QVERIFY(!m_user.messages.contains("Uploading event \"Both sides\"..."));

    const QList<ListedEvent> after = load();
    for (const QByteArray &id : { serverOnly, localOnly, both })
        QCOMPARE(locationOf(after, id), 2);
    QFile downloaded(eventFolder(m_data->path(), serverOnly) + QStringLiteral("/s.txt"));
    QVERIFY(downloaded.open(QIODevice::ReadOnly));
    QCOMPARE(downloaded.readAll(), QByteArray("server"));
}

void PipeEndToEnd::deleteServerEventsKeepsTheLocalCopy()
{
    const QByteArray first = add(3, 1, "Gone there", makeFile("g.txt", "g"));
    const QByteArray second = add(3, 1, "Also gone there", makeFile("h.txt", "h"));
    QVERIFY(!first.isEmpty() && !second.isEmpty());

    m_user.clear();
    QCOMPARE(m_library->deleteServerEvents(idList({ first, second }), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QCOMPARE(m_user.messages.count("Removing event \"Gone there\"..."), 1);
    QCOMPARE(m_user.messages.count("Removing event \"Also gone there\"..."), 1);

    const QList<ListedEvent> listed = load();
    QCOMPARE(locationOf(listed, first), 0);
    QCOMPARE(locationOf(listed, second), 0);
}

void PipeEndToEnd::deleteEventsRemovesBothCopies()
{
    const QByteArray doomed = add(3, 1, "Doomed", makeFile("d.txt", "d"));
    const QByteArray kept = add(3, 1, "Kept", makeFile("k.txt", "k"));
    QVERIFY(!doomed.isEmpty() && !kept.isEmpty());

    m_user.clear();
    QCOMPARE(m_library->deleteEvents(idList({ doomed }), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QVERIFY(eventFolder(m_data->path(), doomed).isEmpty());

    const QList<ListedEvent> listed = load();
    QCOMPARE(locationOf(listed, doomed), -1);
    QCOMPARE(locationOf(listed, kept), 2);
}

void PipeEndToEnd::deleteLocalEventsReportsNothing()
{
    const QByteArray id = add(3, 1, "Local copy goes", makeFile("x.txt", "x"));
    QVERIFY(!id.isEmpty());
    QVERIFY(!eventFolder(m_data->path(), id).isEmpty());

    m_user.clear();
    QCOMPARE(m_library->deleteLocalEvents(idList({ id })), 0);
    QVERIFY(eventFolder(m_data->path(), id).isEmpty());
    QTest::qWait(50);
    QVERIFY(m_user.finishes.isEmpty());
    QVERIFY(m_user.messages.isEmpty());
    QCOMPARE(locationOf(load(), id), 1);
}

void PipeEndToEnd::openEventFileUsesTheDesktop()
{
    // The desktop is a script that notes what it was asked to open.
    const QString noted = m_files->filePath(QStringLiteral("opened.txt"));
    const QString opener = makeFile(QStringLiteral("opener.sh"),
                                    "#!/bin/sh\nprintf '%s' \"$1\" > '" + noted.toUtf8() + "'\n");
    QVERIFY(QFile::setPermissions(opener, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("KEYCRATE_OPEN_COMMAND", opener.toUtf8());

    const QString path = makeFile(QStringLiteral("letter.odt"), "letter");
    const QByteArray id = add(3, 2, "Letter", path);
    QVERIFY(!id.isEmpty());

    m_user.clear();
    QCOMPARE(m_library->openEventFile(id.constData(), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QCOMPARE(m_user.messages, QList<QByteArray> { "Done." });
    QFile file(noted);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), path.toUtf8());

    // An id the last result does not hold opens nothing.
    m_user.clear();
    QCOMPARE(m_library->openEventFile("00000000-0000-0000-0000-000000000000", &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 99);
    qunsetenv("KEYCRATE_OPEN_COMMAND");
}

void PipeEndToEnd::changeEventRewritesTheLocalCopy()
{
    const QByteArray id = add(3, 2, "Draft", makeFile("draft.txt", "draft"));
    QVERIFY(!id.isEmpty());
    const ListedEvent stored = findListed(listedEvents(m_library, m_user.last().count), id);

    const QString newPath = makeFile(QStringLiteral("final.pdf"), "final");
    const QByteArray newPathBytes = newPath.toUtf8();
    EventNative changed = hostEvent(3, 2, "Final", newPathBytes.constData(), "now final");
    changed.id = stored.id.constData();
    changed.recordTime = stored.recordTime.constData();
    changed.type = "text/bogus";

    m_user.clear();
    // The report goes to the user attached to the first pipe before.
    QCOMPARE(m_library->changeEvent(changed), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);

    const ListedEvent event = findListed(load(), id);
    QVERIFY(!event.id.isEmpty());
    QCOMPARE(event.name, QByteArray("Final"));
    QCOMPARE(event.description, QByteArray("now final"));
    QCOMPARE(event.path, newPathBytes);
    // The type always follows the path.
    QCOMPARE(event.type, QByteArray("application/pdf"));
}

void PipeEndToEnd::cancelDuringLargeUpload()
{
    const QByteArray local = add(3, 2, "Local only", makeFile("local.txt", "local"));
    QVERIFY(!local.isEmpty());
    QVERIFY(!eventFolder(m_data->path(), local).isEmpty());
    m_user.clear();

    QByteArray bytes(96 * 1024 * 1024, 'x');
    const QString path = makeFile(QStringLiteral("huge.bin"), bytes);
    bytes.clear();
    QVERIFY(!path.isEmpty());

    // The cancel comes while the body is still going out; a read waits behind
    // the upload and is ended with it. A local delete waiting too reports
    // nothing, so it is not cancelled: it runs.
    RecordingUser waiting;
    bool cancelled = false;
    m_user.onProgress = [this, &cancelled](int done, int total) {
        if (!cancelled && total > 0 && done < total) {
            cancelled = true;
            m_library->cancelAll();
        }
    };
    const QByteArray pathBytes = path.toUtf8();
    QCOMPARE(m_library->addEvent(hostEvent(4, 1, "Huge", pathBytes.constData()), &m_user), 0);
    QCOMPARE(m_library->loadEvents(&waiting, true, 0, 0, "", "", false), 0);
    QCOMPARE(m_library->deleteLocalEvents(idList({ local })), 0);
    QVERIFY(m_user.waitForFinished());
    QVERIFY(waiting.waitForFinished());
    QTRY_VERIFY(eventFolder(m_data->path(), local).isEmpty());
    QCOMPARE(m_user.finishes.size(), 1);
    QVERIFY(cancelled);
    QCOMPARE(m_user.last().code, 101);
    QVERIFY(m_user.messages.contains("CANCELING OPERATIONS..."));
    QCOMPARE(waiting.finishes.size(), 1);
    QCOMPARE(waiting.last().code, 101);
    QCOMPARE(waiting.messages.last(), QByteArray("Error."));

    // The server never got the file, and the pipe works on.
    for (const ListedEvent &event : load())
        QVERIFY(event.name != "Huge");
}

void PipeEndToEnd::backToBackRequestsRunInOrder()
{
    const QByteArray id = add(3, 2, "Queued upload", makeFile("q.txt", "q"));
    QVERIFY(!id.isEmpty());

    QList<QByteArray> order;
    RecordingUser uploader;
    RecordingUser reader;
    uploader.onFinished = [&order](int, int) { order << "upload"; };
    reader.onFinished = [&order](int, int) { order << "read"; };
    QCOMPARE(m_library->uploadEvents(idList({ id }), &uploader), 0);
    QCOMPARE(m_library->loadEvents(&reader, true, 0, 0, "", "", false), 0);
    QVERIFY(reader.waitForFinished());
    QTest::qWait(50);

    QCOMPARE(order, (QList<QByteArray> { "upload", "read" }));
    QCOMPARE(uploader.finishes.size(), 1);
    QCOMPARE(uploader.last().code, 0);
    QCOMPARE(reader.finishes.size(), 1);
    QCOMPARE(reader.last().code, 0);
    // The read ran after the upload: it sees the event on both sides.
    QCOMPARE(locationOf(listedEvents(m_library, reader.last().count), id), 2);
}

void PipeEndToEnd::stepsMoveOnPastEventsThatNeedNothing()
{
    // A host that claims the new event is already on both sides: the upload
    // waiting behind the local save has nothing to do, and the read after it
    // still runs.
    const QString path = makeFile(QStringLiteral("claimed.txt"), "claimed");
    const QByteArray pathBytes = path.toUtf8();
    EventNative claimed = hostEvent(3, 1, "Claimed", pathBytes.constData());
    claimed.location = 2;
    QCOMPARE(m_library->addEvent(claimed, &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QCOMPARE(m_user.messages, (QList<QByteArray> { "Reading events from server...", "Done." }));
    const QList<ListedEvent> listed = listedEvents(m_library, m_user.last().count);
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.first().location, 0);

    // An added event whose place was never determined is left alone by a sync.
    const QByteArray added = add(4, 1, "Undetermined", makeFile("u.pdf", "u"));
    QVERIFY(!added.isEmpty());
    QCOMPARE(locationOf(listedEvents(m_library, m_user.last().count), added), 3);
    m_user.clear();
    QCOMPARE(m_library->syncEvents(idList({ added }), &m_user), 0);
    QVERIFY(m_user.waitForFinished());
    QCOMPARE(m_user.last().code, 0);
    QCOMPARE(m_user.messages, QList<QByteArray> { "Done." });
}

QTEST_GUILESS_MAIN(PipeEndToEnd)
#include "tst_PipeEndToEnd.moc"
