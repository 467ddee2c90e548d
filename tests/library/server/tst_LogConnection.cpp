#include "ConnectionOwner.h"
#include "CurrentUser.h"
#include "EventXml.h"
#include "FileSizeLimit.h"
#include "ForwardProxy.h"
#include "LogConnection.h"
#include "ScriptedServer.h"
#include "ServerTransfer.h"
#include "SettingsStore.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <memory>
#include <sys/stat.h>

using namespace Quorvane;

namespace {

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

EventElement fileEvent(const QByteArray &path)
{
    EventElement event;
    event.setId("6c1f4a8e-1111-4222-8333-944455556666");
    event.setName("File [report.pdf]");
    event.setPath(path);
    event.setType("application/pdf");
    event.setContent("");
    event.setDescription("Uploaded by KEYCRATE");
    event.setRecordTime("1700000000");
    event.setRecordChanged("1700000000");
    event.kind = 4;
    event.access = 1;
    return event;
}

int modeOf(const QString &path)
{
    struct stat info = {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

QByteArray reprDigest(const QByteArray &bytes)
{
    return "Repr-Digest: sha-256=:"
        + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toBase64() + ":\r\n";
}

// An answer with extra header lines; length promises the body's unless given.
QByteArray answer(const QByteArray &status, const QByteArray &headers, const QByteArray &body,
                  qint64 length = -1)
{
    return "HTTP/1.1 " + status + "\r\n" + headers
        + "Content-Length: " + QByteArray::number(length < 0 ? body.size() : length)
        + "\r\nConnection: close\r\n\r\n" + body;
}

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char((quint32(i) * 7919u) % 251u);
    return bytes;
}

} // namespace

class TestLogConnection : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<LogConnection> connection;
    std::unique_ptr<ConnectionOwner> owner;
    std::unique_ptr<QTemporaryDir> data;
    RecordingUser user;

    QList<int> run(const std::function<int()> &operation) { return owner->run(operation); }

    QString dataFile(const QString &name) const { return data->filePath(name); }
    // Downloads wait in the store's holding folder until saved.
    QString holdingFile(const QByteArray &id) const
    {
        return data->filePath(QLatin1String("holding/") + QString::fromUtf8(id));
    }

    static void setSetting(const QString &key, const QVariant &value)
    {
        SettingsStore settings;
        settings.setValue(key, value);
    }

private slots:
    void init()
    {
        server = std::make_unique<ScriptedServer>();
        QVERIFY(server->port() != 0);
        data = std::make_unique<QTemporaryDir>();
        SettingsStore settings;
        settings.clear();
        settings.setValue("server_url", server->baseUrl());
        settings.writeCredentials("ann", "secret");
        settings.writeDataPath(data->path().toUtf8());
        connection = std::make_unique<LogConnection>();
        owner = std::make_unique<ConnectionOwner>(*connection);
        user = RecordingUser();
        setCurrentUser(&user);
    }

    void cleanup()
    {
        setCurrentUser(nullptr);
        owner.reset();
        connection.reset();
        server.reset();
        data.reset();
    }

    void uploadSendsDocumentSeparatorAndFile()
    {
        // Binary content larger than any single read of the body.
        QByteArray content;
        for (int i = 0; i < 300 * 1024; ++i)
            content += char((quint32(i) * 7919u) % 251u);
        const QString path = data->filePath("outside/report.pdf");
        writeFile(path, content);
        EventElement event = fileEvent(path.toUtf8());

        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(server->requests.size(), 1);
        const ScriptedServer::Request &request = server->requests.first();
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target,
                 QByteArray("/action/file/quorvupload?username=ann&password=secret&access_id=0"
                            "&title=File%20%5Breport.pdf%5D"));
        const QByteArray expected = EventXml::document(event) + "-|+" + content;
        QCOMPARE(request.header("Content-Length"), QByteArray::number(expected.size()));
        QVERIFY(request.body == expected);

        QCOMPARE(user.messages, QStringList { "Uploading event \"File [report.pdf]\"..." });
        // The upload's own progress reaches its end; no empty report follows.
        QVERIFY(user.progress.contains(qMakePair(int(expected.size()), int(expected.size()))));
        QVERIFY(!user.progress.contains(qMakePair(0, 0)));
        // The answer stays in the data folder.
        QCOMPARE(fileBytes(dataFile("SaveEvent.ServerResponse.txt")), QByteArray("OK\n"));
        // Idle again: the next call starts a new request.
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(server->requests.size(), 2);
    }

    void queryValuesArePercentEncoded()
    {
        SettingsStore().writeCredentials("x y&z", "p+w=#%ü");
        const QByteArray credentials = "username=x%20y%26z&password=p%2Bw%3D%23%25%C3%BC";
        EventElement event = fileEvent("");
        event.setName("a&b=c d#e");
        event.setId("id&1");
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(run([&] { return connection->removeEvent(event); }), (QList<int> { 77, 0 }));
        event.kind = 3;
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 0 }));
        connection->searchFields = "name";
        connection->searchText = "1+1=2 & more";
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 0 }));

        QCOMPARE(server->requests.size(), 4);
        QCOMPARE(server->requests[0].target,
                 "/action/file/quorvupload?" + credentials
                     + "&access_id=0&title=a%26b%3Dc%20d%23e");
        // An empty path sends the document and the separator only.
        QVERIFY(server->requests[0].body == EventXml::document(event) + "-|+");
        QCOMPARE(server->requests[1].target,
                 "/action/file/quorvdelete?" + credentials + "&extguid=id%261");
        QVERIFY(server->requests[1].body == EventXml::document(event));
        QCOMPARE(server->requests[2].target,
                 "/action/file/quorvdownload?" + credentials + "&extguid=id%261");
        QVERIFY(server->requests[2].body == EventXml::document(event));
        QVERIFY(server->requests[3].target.startsWith("/action/file/quorvget?" + credentials
                                                      + "&starttime="));
        QVERIFY(server->requests[3].target.endsWith("&searchtitle=1%2B1%3D2%20%26%20more"));
        QCOMPARE(server->requests[3].body, QByteArray("NoData"));
    }

    void fileShrinkingDuringUploadFails()
    {
        const QString path = data->filePath("outside/growing.log");
        writeFile(path, QByteArray(600 * 1024, 'g'));
        EventElement event = fileEvent(path.toUtf8());
        QCOMPARE(connection->saveEvent(event), 77);
        QFile(path).resize(10);
        owner->call = [&] { return connection->saveEvent(event); };
        QVERIFY(QTest::qWaitFor([this] { return !owner->results.isEmpty(); }, 20000));
        QCOMPARE(owner->results, QList<int> { 99 });
    }

    void accessValue_data()
    {
        QTest::addColumn<int>("access");
        QTest::addColumn<QVariant>("defaultAccess");
        QTest::addColumn<QByteArray>("sent");
        QTest::newRow("everyone") << 0 << QVariant() << QByteArray("2");
        QTest::newRow("owner") << 1 << QVariant() << QByteArray("0");
        QTest::newRow("server -1") << 2 << QVariant() << QByteArray("-1");
        QTest::newRow("friends") << 3 << QVariant() << QByteArray("-2");
        QTest::newRow("setting") << 4 << QVariant(5) << QByteArray("5");
        QTest::newRow("setting unset") << 9 << QVariant() << QByteArray("0");
    }

    void accessValue()
    {
        QFETCH(int, access);
        QFETCH(QVariant, defaultAccess);
        QFETCH(QByteArray, sent);
        if (defaultAccess.isValid())
            setSetting("default_access", defaultAccess);
        EventElement event = fileEvent("");
        event.access = access;
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QVERIFY(server->requests.first().target.contains("&access_id=" + sent + "&title="));
    }

    void uploadFileChoice_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QString>("sentFrom"); // relative to the event folder
        QTest::newRow("bare name") << 3 << QByteArray("notes.txt") << "notes.txt";
        QTest::newRow("text event")
            << 1 << QByteArray("whatever.doc") << "generated_file_name.fake_extension.txt";
        // A text event added without a path still sends its text.
        QTest::newRow("text event without path")
            << 2 << QByteArray() << "generated_file_name.fake_extension.txt";
    }

    void uploadFileChoice()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, path);
        QFETCH(QString, sentFrom);
        EventElement event = fileEvent(path);
        event.kind = kind;
        const QString day
            = QDateTime::fromSecsSinceEpoch(1700000000, Qt::LocalTime).toString("yyyy/MM/dd");
        const QString folder = data->filePath(day + "/" + QString::fromUtf8(event.getId()));
        writeFile(folder + "/notes.txt", "the notes");
        writeFile(folder + "/generated_file_name.fake_extension.txt", "the description");
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QVERIFY(server->requests.first().body
                == EventXml::document(event) + "-|+" + fileBytes(folder + "/" + sentFrom));
    }

    void uploadOfMissingFileSendsNothing()
    {
        EventElement event = fileEvent(data->filePath("gone.pdf").toUtf8());
        QCOMPARE(connection->saveEvent(event), 99);
        QVERIFY(server->requests.isEmpty());
        // The failure is handed out once: the next call starts afresh.
        QCOMPARE(run([&] { return connection->removeEvent(event); }), (QList<int> { 77, 0 }));
    }

    void readWindow_data()
    {
        QTest::addColumn<int>("startTime");
        QTest::addColumn<int>("dayCount");
        QTest::addColumn<int>("refreshDays");
        QTest::addColumn<qint64>("start");
        QTest::addColumn<qint64>("end");
        const QDate today = QDate::currentDate();
        QTest::newRow("today") << -1 << 3 << 7
                               << QDateTime(today.addDays(-7), QTime(0, 0)).toSecsSinceEpoch()
                               << qint64(4294967295);
        const int t = 1700000000;
        QTest::newRow("one day") << t << 0 << 7 << qint64(t) << qint64(t + 86400);
        const QDate local = QDateTime::fromSecsSinceEpoch(t).date();
        QTest::newRow("two days back")
            << t << 2 << 7 << QDateTime(local.addDays(-2), QTime(0, 0)).toSecsSinceEpoch()
            << qint64(t + 86400);
    }

    void readWindow()
    {
        QFETCH(int, startTime);
        QFETCH(int, dayCount);
        QFETCH(int, refreshDays);
        QFETCH(qint64, start);
        QFETCH(qint64, end);
        setSetting("refresh_days", refreshDays);
        connection->startTime = startTime;
        connection->dayCount = dayCount;
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 0 }));
        QCOMPARE(server->requests.first().target,
                 "/action/file/quorvget?username=ann&password=secret&starttime="
                     + QByteArray::number(start) + "&endtime=" + QByteArray::number(end));
        QCOMPARE(user.messages, QStringList { "Reading events from server..." });
    }

    void readSearchKeys()
    {
        connection->searchFields = "name,description";
        connection->searchText = "Tax";
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 0 }));
        QVERIFY(server->requests.first().target.endsWith("&searchdescription=Tax&searchtitle=Tax"));
    }

    void readAnswerBecomesEvents()
    {
        server->queueResponse(200, "OK\nid\nA\nname\nFirst\nevent\nid\nB\nname\nSecond\nevent\n");
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 0 }));
        QCOMPARE(out.keys(), (QList<QByteArray> { "A", "B" }));
        QVERIFY(out.value("B").listed);
        QVERIFY(QFile::exists(dataFile("GetEvents.ServerResponse.txt")));

        // Without serverOption the last answer comes back with no request,
        // also while another request is in flight.
        server->queueResponse(200, "OK\n", ScriptedServer::Hold);
        EventElement event = fileEvent("");
        QCOMPARE(connection->saveEvent(event), 77);
        QVERIFY(QTest::qWaitFor([this] { return server->holding(); }, 20000));
        connection->serverOption = false;
        EventMap again;
        QCOMPARE(connection->readEvents(again, true, 0, -1), 0);
        QCOMPARE(again.keys(), (QList<QByteArray> { "A", "B" }));
        QCOMPARE(server->requests.size(), 2);
    }

    void loginRefused()
    {
        server->queueResponse(200, "~**login error\nid\nA\nevent\n");
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 100 }));
        QVERIFY(out.isEmpty());
        server->queueResponse(200, "~**login error\n");
        EventElement event = fileEvent("");
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 100 }));
    }

    void resultGoesToTheNextCallWhateverItIs()
    {
        server->queueResponse(200, "OK\n", ScriptedServer::Hold);
        EventMap out;
        QCOMPARE(connection->readEvents(out, true, 0, -1), 77);
        QVERIFY(QTest::qWaitFor([this] { return server->holding(); }, 20000));

        EventElement event = fileEvent("");
        QCOMPARE(connection->saveEvent(event), 77);
        QCOMPARE(server->requests.size(), 1);

        // The owner's timer starts when the read ends; its first tick collects
        // the read's result through saveEvent, and only then an upload starts.
        owner->call = [&] { return connection->saveEvent(event); };
        server->finishHeld("");
        QVERIFY(QTest::qWaitFor([this] { return !owner->results.isEmpty(); }, 20000));
        QCOMPARE(owner->results, QList<int> { 0 });
        QCOMPARE(server->requests.size(), 1);
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(server->requests.size(), 2);
        QVERIFY(server->requests[1].target.contains("/quorvupload?"));
    }

    void rejectedStatusFails_data()
    {
        QTest::addColumn<int>("code");
        QTest::newRow("404") << 404;
        QTest::newRow("500") << 500;
    }

    void rejectedStatusFails()
    {
        QFETCH(int, code);
        server->queueResponse(code, QByteArray(64 * 1024, 'x'));
        EventMap out;
        QCOMPARE(connection->readEvents(out, true, 0, -1), 77);
        const QString answer = dataFile("GetEvents.ServerResponse.txt");
        owner->call = [&] { return connection->readEvents(out, true, 0, -1); };
        QVERIFY(QTest::qWaitFor([this] { return !owner->results.isEmpty(); }, 20000));
        QCOMPARE(owner->results, QList<int> { 99 });
        QVERIFY(!QFile::exists(answer));
        QVERIFY(user.messages.last().endsWith(QStringLiteral("status %1.").arg(code)));
        // Only the six bytes sent were reported, nothing of the rejected body.
        for (const auto &report : std::as_const(user.progress))
            QCOMPARE(report.second, 6);
    }

    void redirectBodyIsTheAnswer()
    {
        server->queue("HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1:1/elsewhere\r\n"
                      "Content-Length: 6\r\nConnection: close\r\n\r\nmoved\n");
        EventElement event = fileEvent("");
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(server->requests.size(), 1);
        QCOMPARE(fileBytes(dataFile("SaveEvent.ServerResponse.txt")), QByteArray("moved\n"));
    }

    void transportFailuresFail()
    {
        // Cut after half the promised body.
        server->queue("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + QByteArray(500, 'y'));
        EventElement event = fileEvent("");
        event.kind = 3;
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 99 }));
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 0 }));

        // Nobody listening.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const quint16 port = closed.serverPort();
        closed.close();
        setSetting("server_url", "http://127.0.0.1:" + QByteArray::number(port));
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 99 }));
        QVERIFY(!QFile::exists(holdingFile(event.getId())));
    }

    void serverAddressComesFromTheSetting()
    {
        setSetting("server_url", "ftp://127.0.0.1:" + QByteArray::number(server->port()));
        EventElement event = fileEvent("");
        QCOMPARE(connection->saveEvent(event), 99);
        setSetting("server_url", "not an address");
        QCOMPARE(connection->saveEvent(event), 99);
        QVERIFY(server->requests.isEmpty() && server->unparsed.isEmpty());

        if (!QSslSocket::supportsSsl())
            return;
        // https goes to the named port with TLS: the server sees a handshake.
        setSetting("server_url", "HTTPS://127.0.0.1:" + QByteArray::number(server->port()));
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 99 }));
        QVERIFY(QTest::qWaitFor([this] { return !server->unparsed.isEmpty(); }, 20000));
        QCOMPARE(server->unparsed.at(0), char(0x16)); // TLS handshake record
        QVERIFY(server->requests.isEmpty());
    }

    void downloads()
    {
        // Files of the server come from the download action.
        server->queueResponse(200, "file bytes");
        EventElement event = fileEvent("report.pdf");
        event.kind = 3;
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(fileBytes(holdingFile(event.getId())), QByteArray("file bytes"));
        QCOMPARE(user.messages, QStringList { "Downloading event \"File [report.pdf]\"..." });

        // A kind 0 event's file is fetched whole from its own address.
        server->queueResponse(200, "web bytes");
        event.kind = 0;
        event.setContent(server->baseUrl() + "/some/where.pdf?x=1&y=a%20b");
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(server->requests[1].method, QByteArray("GET"));
        QCOMPARE(server->requests[1].target, QByteArray("/some/where.pdf?x=1&y=a%20b"));
        QCOMPARE(fileBytes(holdingFile(event.getId())), QByteArray("web bytes"));
    }

    void unsafeIdsAreRefused_data()
    {
        QTest::addColumn<QByteArray>("id");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("dot") << QByteArray(".");
        QTest::newRow("dot dot") << QByteArray("..");
        QTest::newRow("slash") << QByteArray("../../.bashrc");
        QTest::newRow("backslash") << QByteArray("a\\b");
        QTest::newRow("zero") << QByteArray("a\0b", 3);
    }

    void unsafeIdsAreRefused()
    {
        QFETCH(QByteArray, id);
        EventElement event = fileEvent("notes.txt");
        event.setId(id);
        for (int kind : { 0, 3 }) {
            event.kind = kind;
            event.setContent(server->baseUrl() + "/file");
            QCOMPARE(connection->downloadEvent(event), 99);
        }
        // A bare path would be looked up in a folder named by the id.
        QCOMPARE(connection->saveEvent(event), 99);
        QVERIFY(server->requests.isEmpty());
        QVERIFY(QDir(data->path()).isEmpty());
    }

    void removeSendsTheDocument()
    {
        EventElement event = fileEvent("a/b/c.pdf");
        QCOMPARE(run([&] { return connection->removeEvent(event); }), (QList<int> { 77, 0 }));
        QCOMPARE(server->requests.first().target,
                 "/action/file/quorvdelete?username=ann&password=secret&extguid=" + event.getId());
        QCOMPARE(server->requests.first().body, EventXml::document(event));
        QCOMPARE(user.messages, QStringList { "Removing event \"File [report.pdf]\"..." });
        QVERIFY(QFile::exists(dataFile("RemoveEvent.ServerResponse.txt")));
    }

    void cancelStopsTheRequest()
    {
        // Headers and part of the body arrive, then the server goes quiet.
        server->queue("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + QByteArray(30000, 'z'),
                      ScriptedServer::Hold);
        EventElement event = fileEvent("");
        event.kind = 3;
        QCOMPARE(connection->downloadEvent(event), 77);
        QVERIFY(QTest::qWaitFor([this] { return !user.progress.isEmpty(); }, 20000));
        const QString holding = holdingFile(event.getId());
        QVERIFY(!QFile::exists(holding)); // not whole yet
        QCOMPARE(QDir(dataFile("unfinished")).entryList(QDir::Files).size(), 1);

        connection->cancelCurrentHttpOperation();
        QCOMPARE(user.messages.last(), QString("CANCELING OPERATIONS..."));
        const int reports = user.progress.size();
        server->finishHeld(QByteArray(70000, 'z'));
        owner->call = [&] { return connection->downloadEvent(event); };
        QVERIFY(QTest::qWaitFor([this] { return !owner->results.isEmpty(); }, 20000));
        QCOMPARE(owner->results, QList<int> { 101 });
        QCOMPARE(user.progress.size(), reports);
        QVERIFY(!QFile::exists(holding));
        QVERIFY(!QFileInfo::exists(dataFile("unfinished")));
    }

    void cancelWhileIdle()
    {
        connection->cancelCurrentHttpOperation();
        EventElement event = fileEvent("");
        QCOMPARE(connection->removeEvent(event), 101);
        QVERIFY(server->requests.isEmpty());
        QCOMPARE(run([&] { return connection->removeEvent(event); }), (QList<int> { 77, 0 }));
    }

    void progressFitsAnInt()
    {
        // Totals beyond the int range are scaled down with their ratio kept.
        const qint64 total = 6LL * 1024 * 1024 * 1024;
        QVERIFY(QMetaObject::invokeMethod(connection.get(), "updateDataSendProgress",
                                          Q_ARG(qint64, total / 3), Q_ARG(qint64, total)));
        QCOMPARE(user.progress.size(), 1);
        const auto [done, all] = user.progress.first();
        QVERIFY(all > 0 && all <= std::numeric_limits<int>::max());
        QVERIFY(qAbs(double(done) / all - 1.0 / 3) < 1e-6);
    }

    void stalledServerTimesOut()
    {
        // Accepted, and then never a byte back.
        setSetting("server_timeout", 1);
        server->queue("", ScriptedServer::Hold);
        EventElement event = fileEvent("");
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 99 }));
        QVERIFY(user.messages.last().startsWith("The server did not answer in time"));
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 0 }));
    }

    void uploadOfANamedPipeFailsAtOnce()
    {
        // Opening a FIFO with no writer would block the library's thread for good.
        QVERIFY(QDir().mkpath(dataFile("outside")));
        const QString path = dataFile("outside/pipe");
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        EventElement event = fileEvent(path.toUtf8());
        QCOMPARE(run([&] { return connection->saveEvent(event); }), QList<int> { 99 });
        QVERIFY(server->requests.isEmpty());
    }

    void downloadsArePrivateAndNeverFollowALink()
    {
        // Owner-only whatever the umask, the data folder too when made now.
        EventElement event = fileEvent("");
        event.kind = 3;
        setSetting("data_path", dataFile("fresh/data").toUtf8());
        const mode_t saved = ::umask(0);
        server->queueResponse(200, "file bytes");
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 0 }));
        ::umask(saved);
        for (const char *folder : { "fresh", "fresh/data", "fresh/data/holding" })
            QCOMPARE(modeOf(dataFile(folder)), 0700);
        QCOMPARE(modeOf(dataFile("fresh/data/holding/") + event.getId()), 0600);

        setSetting("data_path", data->path().toUtf8());
        const QString holding = holdingFile(event.getId());
        const QString target = dataFile("outside/planted");
        QVERIFY(QDir().mkpath(dataFile("holding")) && QDir().mkpath(dataFile("outside")));
        QVERIFY(QFile::link(target, holding));
        server->queueResponse(200, "file bytes");
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 0 }));
        QVERIFY(!QFileInfo::exists(target));
        QVERIFY(!QFileInfo(holding).isSymLink());
        QCOMPARE(fileBytes(holding), QByteArray("file bytes"));
        QVERIFY(!QFileInfo::exists(dataFile("unfinished"))); // left once whole
    }

    void digestsAreChecked()
    {
        EventElement event = fileEvent("");
        event.kind = 3;
        const QString holding = holdingFile(event.getId());
        const auto download = [&] { return connection->downloadEvent(event); };
        server->queue(answer("200 OK", reprDigest("file bytes"), "file bytes"));
        QCOMPARE(run(download), (QList<int> { 77, 0 }));
        QCOMPARE(fileBytes(holding), QByteArray("file bytes"));
        server->queue(answer("200 OK", reprDigest("file bytez"), "file bytes"));
        QCOMPARE(run(download), (QList<int> { 77, 99 }));
        QVERIFY(!QFile::exists(holding));
        QVERIFY(user.messages.last().contains("intact"));
        // Field lines and members are one list: a wrong sha-256 anywhere fails.
        const QByteArray right = reprDigest("file bytes"), wrong = reprDigest("file bytez");
        const QByteArray other = "Repr-Digest: sha-512=:AAAA:\r\n";
        const QByteArray both = wrong.chopped(2) + ", " + right.mid(13);
        for (const QByteArray &headers : { wrong + other, right + wrong, both }) {
            server->queue(answer("200 OK", headers, "file bytes"));
            QCOMPARE(run(download), (QList<int> { 77, 99 }));
        }
        // Past a mebibyte the bytes are read back and hashed behind the writing.
        const QByteArray large = pattern(3 * 1024 * 1024 + 777);
        QByteArray altered = large;
        altered[2 * 1024 * 1024 + 5] = char(altered[2 * 1024 * 1024 + 5] ^ 1);
        server->queue(answer("200 OK", reprDigest(large), large));
        QCOMPARE(run(download), (QList<int> { 77, 0 }));
        QVERIFY(fileBytes(holding) == large);
        server->queue(answer("200 OK", reprDigest(large), altered));
        QCOMPARE(run(download), (QList<int> { 77, 99 }));
        QVERIFY(!QFile::exists(holding));

        // An upload's answer carries the digest of the file the server kept;
        // a large file is hashed beside the sending.
        const QString path = data->filePath("outside/a.bin");
        EventElement upload = fileEvent(path.toUtf8());
        const auto save = [&] { return connection->saveEvent(upload); };
        for (const int size : { 700 * 1024, 3 * 1024 * 1024 + 333 }) {
            writeFile(path, pattern(size));
            server->queue(answer("200 OK", reprDigest(pattern(size)), "OK\n"));
            QCOMPARE(run(save), (QList<int> { 77, 0 }));
            server->queue(answer("200 OK", reprDigest(pattern(size - 1)), "OK\n"));
            QCOMPARE(run(save), (QList<int> { 77, 99 }));
        }
        // No answer file of any name is left behind by the failed save.
        QCOMPARE(QDir(data->path()).entryList({ "SaveEvent*" }, QDir::Files), QStringList());
    }

    void cutDownloadResumesOnce()
    {
        const QByteArray content = pattern(200000);
        const QByteArray headers = "Accept-Ranges: bytes\r\n" + reprDigest(content);
        server->queue(answer("200 OK", headers, content.left(80000), content.size()));
        server->queue(answer("206 Partial Content",
                             "Content-Range: bytes 80000-199999/200000\r\n" + headers,
                             content.mid(80000)));
        EventElement event = fileEvent("");
        event.kind = 3;
        const auto download = [&] { return connection->downloadEvent(event); };
        QCOMPARE(run(download), (QList<int> { 77, 0 }));
        const QString holding = holdingFile(event.getId());
        QVERIFY(fileBytes(holding) == content);
        QCOMPARE(server->requests.size(), 2);
        QCOMPARE(server->requests[1].header("Range"), QByteArray("bytes=80000-"));
        QCOMPARE(server->requests[1].body, server->requests[0].body);
        QCOMPARE(user.progress.last(), qMakePair(200000, 200000));

        // Only once: a second cut fails the download.
        server->queue(answer("200 OK", headers, content.left(80000), content.size()));
        server->queue(answer("206 Partial Content",
                             "Content-Range: bytes 80000-199999/200000\r\n" + headers,
                             content.mid(80000, 1000), 120000));
        QCOMPARE(run(download), (QList<int> { 77, 99 }));
        QVERIFY(!QFile::exists(holding));
        QCOMPARE(server->requests.size(), 4);
    }

    void rangesAndDigestsAreReadWhole()
    {
        const QList<QPair<QByteArray, qint64>> ranges {
            { "bytes 80000-199999/200000", 80000 },
            { " BYTES 0-0/* ", 0 },
            { "bytes 5", -1 },
            { "bytes 5-/9", -1 },
            { "bytes +5-9/10", -1 },
            { "bytes 9-5/10", -1 },
            { "bytes 5-9/9", -1 },
            { "bytes 99999999999999999999-1/2", -1 },
        };
        for (const auto &[value, first] : ranges)
            QCOMPARE(ServerTransfer::contentRangeStart(value), first);

        const QByteArray sha = QCryptographicHash::hash("x", QCryptographicHash::Sha256);
        const QByteArray member = "sha-256=:" + sha.toBase64() + ":";
        QCOMPARE(ServerTransfer::foldReprDigest({}, "sha-512=:AA==:, " + member), sha);
        QCOMPARE(ServerTransfer::foldReprDigest(sha, member), sha);
        // Short of a sha-256, or differing on another line: nothing matches.
        QCOMPARE(ServerTransfer::foldReprDigest({}, "sha-256=:AAAA:"), QByteArray("invalid"));
        QCOMPARE(ServerTransfer::foldReprDigest("invalid", member), QByteArray("invalid"));
    }

    void bandwidthLimitsHold()
    {
        // 800 kbps is 100,000 bytes a second; allow 20 % above it.
        setSetting("upload_limit_kbps", 800);
        setSetting("download_limit_kbps", 800);
        const int size = 200000;
        const auto limitHolds = [&](const std::function<int()> &operation) {
            QElapsedTimer clock;
            clock.start();
            if (run(operation) != QList<int> { 77, 0 })
                return false;
            const double rate = size / (clock.elapsed() / 1000.0);
            qInfo() << "bytes a second:" << rate;
            return rate <= 1.2 * 100000;
        };
        server->queueResponse(200, QByteArray(size, 'd'));
        EventElement event = fileEvent("");
        event.kind = 3;
        QVERIFY(limitHolds([&] { return connection->downloadEvent(event); }));
        const QString path = data->filePath("outside/up.bin");
        writeFile(path, QByteArray(size, 'u'));
        EventElement upload = fileEvent(path.toUtf8());
        QVERIFY(limitHolds([&] { return connection->saveEvent(upload); }));
    }

    void proxyFromTheEnvironment()
    {
        ForwardProxy proxy;
        const QByteArray saved = qgetenv("http_proxy");
        qputenv("http_proxy", proxy.url());
        qunsetenv("no_proxy");
        qunsetenv("NO_PROXY");
        EventElement event = fileEvent("");
        const QList<int> codes = run([&] { return connection->saveEvent(event); });
        qputenv("http_proxy", saved);
        QCOMPARE(codes, (QList<int> { 77, 0 }));
        QCOMPARE(proxy.requestLines.size(), 1);
        QVERIFY(proxy.requestLines[0].startsWith("POST " + server->baseUrl()
                                                 + "/action/file/quorvupload?username=ann"));
        QCOMPARE(server->requests.size(), 1);
    }

    void lyingAnswersFailAndSayWhy()
    {
        // A list and a save answer cut short of their promised length, at a
        // line's end, where they would read as whole.
        EventMap out;
        server->queue(answer("200 OK", "", "OK\nid\nA\nevent\n", 1000));
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 99 }));
        QVERIFY(out.isEmpty());
        QVERIFY(user.messages.last().contains("broke off"));
        EventElement saved = fileEvent("");
        server->queue(answer("200 OK", "", "OK", 100));
        QCOMPARE(run([&] { return connection->saveEvent(saved); }), (QList<int> { 77, 99 }));

        // Header lines without end, one endless line, two lengths that differ.
        QByteArray endless = "HTTP/1.1 200 OK\r\n";
        while (endless.size() < (1 << 20))
            endless += "X-Pad: " + QByteArray(100, 'p') + "\r\n";
        EventElement event = fileEvent("report.pdf");
        event.kind = 3;
        for (const QByteArray &lie :
             { endless, "HTTP/1.1 200 OK\r\nX-Pad: " + QByteArray(1 << 20, 'p'),
               QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 9\r\n\r\n"
                          "file bytes") }) {
            server->queue(lie);
            QCOMPARE(run([&] { return connection->downloadEvent(event); }),
                     (QList<int> { 77, 99 }));
            QVERIFY(!QFile::exists(holdingFile(event.getId())));
            QVERIFY(!user.messages.last().startsWith("Downloading"));
        }
        QVERIFY(user.messages.last().contains("two different lengths"));
        QCOMPARE(QDir(data->path()).entryList(QDir::Files), QStringList());
    }

    void endlessAnswerLinesFail()
    {
        // Past the bound the answer is no answer, and nothing of it is kept.
        const QByteArray endless(EventXml::MaxAnswerLine + 10, 'x');
        server->queueResponse(200, "OK\nid\nA\nevent\nid\n" + endless + "\nevent\n");
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 99 }));
        QVERIFY(out.isEmpty());
        server->queueResponse(200, endless);
        EventElement event = fileEvent("");
        QCOMPARE(run([&] { return connection->saveEvent(event); }), (QList<int> { 77, 99 }));
        QCOMPARE(QDir(data->path()).entryList(QDir::Files), QStringList());
    }

    void answersAreBounded()
    {
        // A list answer past its cap fails, whatever its lines.
        setSetting("max_list_answer_mib", 1);
        QByteArray list = "OK\n";
        while (list.size() <= 1024 * 1024)
            list += "id\nA\nevent\n";
        server->queueResponse(200, list);
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 99 }));
        QVERIFY(out.isEmpty());
        server->queueResponse(200, list.left(1024 * 1024));
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 0 }));
        // So is the status answer to a save or a removal.
        EventElement saved = fileEvent("");
        server->queueResponse(200, "OK saved\n" + list);
        QCOMPARE(run([&] { return connection->saveEvent(saved); }), (QList<int> { 77, 99 }));
        server->queueResponse(200, "OK removed\n" + list);
        QCOMPARE(run([&] { return connection->removeEvent(saved); }), (QList<int> { 77, 99 }));
        QVERIFY(user.messages.last().contains("larger than"));
        QCOMPARE(QDir(data->path()).entryList(QDir::Files),
                 QStringList { "GetEvents.ServerResponse.txt" });

        // A download that would leave less free space than asked for stops
        // and keeps nothing; no disk has 2 PiB free.
        setSetting("min_free_space_mib", std::numeric_limits<int>::max());
        server->queueResponse(200, "file bytes");
        EventElement event = fileEvent("report.pdf");
        event.kind = 3;
        QCOMPARE(run([&] { return connection->downloadEvent(event); }), (QList<int> { 77, 99 }));
        QVERIFY(!QFile::exists(holdingFile(event.getId())));
        QVERIFY(user.messages.last().contains("free"));

        // With no reserve, an answer of no stated length that outgrows the
        // disk stops there, says why and keeps nothing.
        setSetting("min_free_space_mib", 0);
        server->queue("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + pattern(200000));
        {
            const FileSizeLimit diskFull(65536);
            QCOMPARE(run([&] { return connection->downloadEvent(event); }),
                     (QList<int> { 77, 99 }));
        }
        QVERIFY(!QFile::exists(holdingFile(event.getId())));
        QVERIFY2(user.messages.last().contains("written to disk"),
                 qPrintable(user.messages.last()));
    }

    void concurrentAnswersStayApart()
    {
        // Two connections of one thread in flight at once: each reads its own.
        LogConnection second;
        ConnectionOwner secondOwner(second);
        server->queue("", ScriptedServer::Hold);
        EventElement event = fileEvent("");
        QCOMPARE(connection->saveEvent(event), 77);
        owner->call = [&] { return connection->saveEvent(event); };
        QVERIFY(QTest::qWaitFor([this] { return server->holding(); }, 20000));
        QCOMPARE(secondOwner.run([&] { return second.saveEvent(event); }), (QList<int> { 77, 0 }));
        server->finishHeld(ScriptedServer::response(200, "~**login error\n"));
        QVERIFY(QTest::qWaitFor([this] { return !owner->results.isEmpty(); }, 20000));
        QCOMPARE(owner->results, QList<int> { 100 });
        QCOMPARE(fileBytes(dataFile("SaveEvent.ServerResponse.txt")),
                 QByteArray("~**login error\n"));
    }

    void missingDataFolderSendsNothing()
    {
        SettingsStore().writeDataPath("");
        EventElement event = fileEvent("");
        QCOMPARE(connection->removeEvent(event), 99);
        QVERIFY(server->requests.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestLogConnection)
#include "tst_LogConnection.moc"
