// Drives a real quorvane-server over HTTP on a loopback port.

#include "HttpClient.h"
#include "PostgresCluster.h"
#include "S3Cluster.h"
#include "ServerProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Event
{
    QByteArray id;
    QByteArray name;
    QByteArray path;
    QByteArray type;
    QByteArray content;
    QByteArray description;
    QByteArray recordTime;
    QByteArray recordChanged;

    bool operator==(const Event &other) const
    {
        return id == other.id && name == other.name && path == other.path && type == other.type
            && content == other.content && description == other.description
            && recordTime == other.recordTime && recordChanged == other.recordChanged;
    }
};

// The event document exactly as the library builds it: no escaping at all.
QByteArray document(const Event &event)
{
    const auto cdata = [](const QByteArray &value) { return "<![CDATA[" + value + "]]>"; };
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>" + event.id + "</id><name>"
        + cdata(event.name) + "</name><path>" + cdata(event.path) + "</path><type>" + event.type
        + "</type><content>" + cdata(event.content) + "</content><description>"
        + cdata(event.description) + "</description><recordTime>" + event.recordTime
        + "</recordTime><recordChanged>" + event.recordChanged + "</recordChanged></event>";
}

Event makeEvent(const QByteArray &id, const QByteArray &name, const QByteArray &description,
                quint32 time)
{
    const QByteArray stamp = QByteArray::number(time);
    return Event {
        id, name, "notes.bin", "application/octet-stream", "", description, stamp, stamp
    };
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = static_cast<char>(QRandomGenerator::global()->generate());
    return bytes;
}

struct Listing
{
    QByteArray statusLine;
    QList<Event> events;
};

// Reads an event list the way the library does: status line, then key lines
// each followed by a value line, records closed by "event\n".
Listing parseListing(const QByteArray &answer)
{
    QList<QByteArray> lines;
    for (qsizetype start = 0; start < answer.size();) {
        const qsizetype end = answer.indexOf('\n', start);
        const qsizetype next = end < 0 ? answer.size() : end + 1;
        lines.append(answer.mid(start, next - start));
        start = next;
    }
    Listing listing;
    if (lines.isEmpty())
        return listing;
    listing.statusLine = lines.takeFirst();
    const QMap<QByteArray, QByteArray Event::*> keys {
        { "id\n", &Event::id },
        { "name\n", &Event::name },
        { "path\n", &Event::path },
        { "type\n", &Event::type },
        { "content\n", &Event::content },
        { "description\n", &Event::description },
        { "recordTime\n", &Event::recordTime },
        { "recordChanged\n", &Event::recordChanged },
    };
    Event event;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i] == "event\n") {
            listing.events.append(event);
            event = Event();
        } else if (keys.contains(lines[i]) && i + 1 < lines.size()) {
            event.*keys.value(lines[i]) = lines[i + 1].chopped(1);
            ++i;
        }
    }
    return listing;
}

QByteArray account(const QByteArray &user, const QByteArray &password)
{
    return "username=" + QUrl::toPercentEncoding(user)
        + "&password=" + QUrl::toPercentEncoding(password);
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

bool waitFor(const std::function<bool()> &condition, int timeout = 20000)
{
    const QDeadlineTimer deadline(timeout);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

} // namespace

class BackupServerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void uploadListDownloadDelete();
    void uploadWithKnownIdReplacesEvent();
    void valuesKeepTheirBytes();
    void listCoversManyPages();
    void loginRefusedInEveryRequest();
    void usersSeeOnlyTheirOwnEvents();
    void accountChangesTakeEffectAtOnce();
    void queryValuesArePercentDecoded();
    void malformedRequestChangesNothing_data();
    void malformedRequestChangesNothing();
    void cutOffUploadLeavesNothing();
    void killDuringUploadKeepsCompleteEvents();
    void curlUploadsAndDownloads();
    void uploadsEndingTogetherAllCommit();
    void chunkedBodiesAreReadAndLimited();
    void logHoldsNoSecrets();
    void refusesSecondServer();
    void stopsOnSigint();

private:
    HttpClient::Reply upload(const Event &event, const QByteArray &file,
                             const QByteArray &user = "alice",
                             const QByteArray &password = "alice-pass");
    HttpClient::Reply download(const QByteArray &id, const QByteArray &user = "alice",
                               const QByteArray &password = "alice-pass");
    HttpClient::Reply remove(const QByteArray &id, const QByteArray &user = "alice",
                             const QByteArray &password = "alice-pass");
    Listing list(qint64 from = 0, qint64 to = 4294967295LL, const QByteArray &search = {},
                 const QByteArray &user = "alice", const QByteArray &password = "alice-pass");
    HttpClient::Reply post(const QByteArray &target, const QByteArray &body);
    // The names of the stored files, in the folder or the bucket.
    QStringList storedFiles() const;
    QString temporaryFolder() const { return m_dir->path() + "/data/tmp"; }
    // Sends the start of an upload over a raw socket and waits until the server
    // has begun writing its file; the socket stays open.
    std::unique_ptr<QTcpSocket> startUnfinishedUpload(const QByteArray &id);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerProcess> m_server;
    HttpClient m_http;
    // Set when the tests run against PostgreSQL instead of SQLite.
    std::unique_ptr<PostgresCluster> m_postgres;
    // Set when the files are kept in an S3 bucket instead of the data folder;
    // each test has a prefix of its own.
    std::unique_ptr<S3Cluster> m_s3;
    QString m_prefix;
    int m_tests = 0;
};

void BackupServerTest::initTestCase()
{
    QVERIFY2(QFile::exists(ServerProcess::program()), qPrintable(ServerProcess::program()));
    if (qEnvironmentVariable("QUORVANE_TEST_DATABASE") == "postgresql") {
        m_postgres = std::make_unique<PostgresCluster>();
        QVERIFY2(m_postgres->start(), qPrintable(m_postgres->failure()));
    }
    if (qEnvironmentVariable("QUORVANE_TEST_STORAGE") == "s3") {
        m_s3 = std::make_unique<S3Cluster>();
        QVERIFY2(m_s3->start(), qPrintable(m_s3->failure()));
        qputenv("AWS_ACCESS_KEY_ID", m_s3->accessKey());
        qputenv("AWS_SECRET_ACCESS_KEY", m_s3->secretKey());
    }
}

QStringList BackupServerTest::storedFiles() const
{
    if (m_s3)
        return m_s3->keys(m_prefix + "/files/");
    return entries(m_dir->path() + "/data/files");
}

void BackupServerTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QString database;
    if (m_postgres) {
        database = m_postgres->newDatabase();
        QVERIFY2(!database.isEmpty(), qPrintable(m_postgres->failure()));
    }
    m_server = std::make_unique<ServerProcess>(m_dir->path() + "/data", database);
    if (m_s3) {
        m_prefix = QStringLiteral("test%1").arg(++m_tests);
        m_server->setStorage({ "--storage", "s3://" + m_s3->bucket() + "/" + m_prefix,
                               "--s3-endpoint", m_s3->endpoint(), "--s3-region", m_s3->region() });
    }
    QCOMPARE(m_server->account("adduser", "alice", "alice-pass"), 0);
    QCOMPARE(m_server->account("adduser", "bob", "bob-pass"), 0);
    // Some tests fail many logins on purpose: throttling has tests of its own.
    QVERIFY2(m_server->start({ "--max-body", "4M", "--login-failures", "1000",
                               "--login-failures-per-address", "1000" }),
             qPrintable(m_server->failure()));
}

void BackupServerTest::cleanup()
{
    m_http.closeIdleConnections();
    if (m_server && m_server->port() != 0)
        QVERIFY2(m_server->stop(), m_server->log().constData());
    m_server.reset();
    m_dir.reset();
}

HttpClient::Reply BackupServerTest::post(const QByteArray &target, const QByteArray &body)
{
    return m_http.post(m_server->url(target), body);
}

HttpClient::Reply BackupServerTest::upload(const Event &event, const QByteArray &file,
                                           const QByteArray &user, const QByteArray &password)
{
    return post("/action/file/quorvupload?" + account(user, password)
                    + "&access_id=0&title=" + QUrl::toPercentEncoding(event.name),
                document(event) + "-|+" + file);
}

HttpClient::Reply BackupServerTest::download(const QByteArray &id, const QByteArray &user,
                                             const QByteArray &password)
{
    return post("/action/file/quorvdownload?" + account(user, password)
                    + "&extguid=" + QUrl::toPercentEncoding(id),
                document(Event { id, {}, {}, {}, {}, {}, {}, {} }));
}

HttpClient::Reply BackupServerTest::remove(const QByteArray &id, const QByteArray &user,
                                           const QByteArray &password)
{
    return post("/action/file/quorvdelete?" + account(user, password)
                    + "&extguid=" + QUrl::toPercentEncoding(id),
                document(Event { id, {}, {}, {}, {}, {}, {}, {} }));
}

Listing BackupServerTest::list(qint64 from, qint64 to, const QByteArray &search,
                               const QByteArray &user, const QByteArray &password)
{
    const HttpClient::Reply reply
        = post("/action/file/quorvget?" + account(user, password) + "&starttime="
                   + QByteArray::number(from) + "&endtime=" + QByteArray::number(to) + search,
               "NoData");
    if (reply.status != 200)
        qWarning("list answered %d: %s", reply.status, reply.body.constData());
    return parseListing(reply.body);
}

std::unique_ptr<QTcpSocket> BackupServerTest::startUnfinishedUpload(const QByteArray &id)
{
    const QByteArray head = document(makeEvent(id, "unfinished", "", 1000)) + "-|+";
    const QByteArray part = randomBytes(512 * 1024);
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost("127.0.0.1", static_cast<quint16>(m_server->port()));
    if (!socket->waitForConnected(10000))
        return nullptr;
    socket->write("POST /action/file/quorvupload?" + account("alice", "alice-pass")
                  + "&access_id=0&title=unfinished HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Length: 3000000\r\n\r\n"
                  + head + part);
    const QDeadlineTimer deadline(20000);
    while (socket->bytesToWrite() > 0 && !deadline.hasExpired())
        socket->waitForBytesWritten(100);
    // With S3 the bytes stream to the store and nothing shows meanwhile.
    if (m_s3)
        return socket;
    // Under its working name: a ".new" one is still being made and is not yet
    // an upload a sweep would count.
    if (!waitFor([this] {
            return !entries(temporaryFolder()).filter(".part").isEmpty()
                && entries(temporaryFolder()).filter(".new").isEmpty();
        }))
        return nullptr;
    return socket;
}

void BackupServerTest::uploadListDownloadDelete()
{
    const Event holiday = makeEvent("e-1", "Holiday Photos", "beach trip", 1000);
    const Event tax = makeEvent("e-2", "Tax Return", "for the OFFICE", 2000);
    const Event notes = makeEvent("e-3", "notes", "nothing much", 3000);
    // Files that hold the separator and the end tag, and binary bytes.
    const QByteArray holidayFile
        = QByteArray("-|+</event>-|+\0\x01\xff", 17) + randomBytes(300 * 1024);
    const QByteArray taxFile = "<?xml version=\"1.0\"?><event><id>x</id></event>-|+";
    const QByteArray notesFile;

    for (const auto &[event, file] : { std::pair { tax, taxFile }, std::pair { notes, notesFile },
                                       std::pair { holiday, holidayFile } }) {
        const HttpClient::Reply reply = upload(event, file);
        QCOMPARE(reply.status, 200);
        QVERIFY(!reply.body.contains("~**login error"));
    }

    const Listing all = list();
    QVERIFY(!all.statusLine.contains("~**login error"));
    QCOMPARE(all.events, (QList<Event> { holiday, tax, notes }));

    QCOMPARE(list(1000, 2000).events, (QList<Event> { holiday, tax }));
    QCOMPARE(list(1001, 1999).events, QList<Event>());
    QCOMPARE(list(3000, 3000).events, QList<Event> { notes });

    QCOMPARE(list(0, 4294967295LL, "&searchtitle=TAX").events, QList<Event> { tax });
    QCOMPARE(list(0, 4294967295LL, "&searchdescription=office").events, QList<Event> { tax });
    QCOMPARE(list(0, 4294967295LL, "&searchtitle=beach").events, QList<Event>());
    QCOMPARE(list(0, 4294967295LL, "&searchdescription=Beach&searchtitle=notes").events,
             (QList<Event> { holiday, notes }));
    QCOMPARE(list(0, 1500, "&searchdescription=Beach&searchtitle=notes").events,
             QList<Event> { holiday });

    HttpClient::Reply reply = download("e-1");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, holidayFile);
    QCOMPARE(download("e-2").body, taxFile);
    reply = download("e-3");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray());

    QCOMPARE(remove("e-2").status, 200);
    QCOMPARE(list().events, (QList<Event> { holiday, notes }));
    QCOMPARE(download("e-2").status, 404);
    QCOMPARE(remove("e-2").status, 404);
    QCOMPARE(storedFiles().size(), 2);
}

void BackupServerTest::uploadWithKnownIdReplacesEvent()
{
    const Event first = makeEvent("same-id", "first", "one", 1000);
    const Event second = makeEvent("same-id", "second", "two", 5000);
    QCOMPARE(upload(first, "old bytes").status, 200);
    QCOMPARE(upload(second, "new bytes").status, 200);

    QCOMPARE(list().events, QList<Event> { second });
    QCOMPARE(download("same-id").body, QByteArray("new bytes"));
    QCOMPARE(storedFiles().size(), 1);
}

void BackupServerTest::valuesKeepTheirBytes()
{
    Event event = makeEvent("bytes", "Ünïcödé -|+ </event> title", "", 1000);
    event.description = "first line\nsecond line\r\nthird\xe9";
    event.content = "http://example.org/a?b=c&d=e";
    event.path = "C:\\Users\\me\\file.txt";
    QCOMPARE(upload(event, "x").status, 200);

    Event expected = event;
    // The format has one line per value: line breaks come back as spaces.
    expected.description = "first line second line third\xe9";
    QCOMPARE(list().events, QList<Event> { expected });
    // Non-ASCII letters are searched without regard to case too.
    QCOMPARE(list(0, 4294967295LL, "&searchtitle=" + QUrl::toPercentEncoding("üNÏ")).events,
             QList<Event> { expected });
}

void BackupServerTest::listCoversManyPages()
{
    // More events than one page of the server's listing, and more text than
    // one piece of its streamed answer; several events share a second.
    QList<Event> expected;
    for (int i = 0; i < 300; ++i) {
        const QByteArray number = QByteArray::number(i);
        const Event event
            = makeEvent(QByteArray::number(100000 + i), "event " + number,
                        (i % 50 == 7 ? "needle " : "hay ") + QByteArray(500, 'd'), 1000 + i / 3);
        QCOMPARE(upload(event, number).status, 200);
        expected.append(event);
    }
    QCOMPARE(list().events, expected);
    QCOMPARE(list(0, 4294967295LL, "&searchdescription=NEEDLE").events.size(), 6);
    QCOMPARE(list(1010, 1019).events, expected.mid(30, 30));
}

void BackupServerTest::loginRefusedInEveryRequest()
{
    const Event event = makeEvent("kept", "kept", "", 1000);
    QCOMPARE(upload(event, "data").status, 200);

    const QList<std::pair<QByteArray, QByteArray>> refused {
        { "alice", "wrong" },
        { "alice", "" },
        { "nobody", "alice-pass" },
        { "", "" },
    };
    for (const auto &[user, password] : refused) {
        HttpClient::Reply reply
            = upload(makeEvent("sneaky", "x", "", 1000), "data", user, password);
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.body.split('\n').first().contains("~**login error"));

        const Listing listing = list(0, 4294967295LL, {}, user, password);
        QVERIFY(listing.statusLine.contains("~**login error"));
        QVERIFY(listing.events.isEmpty());

        QCOMPARE(download("kept", user, password).status, 403);
        QCOMPARE(remove("kept", user, password).status, 403);
    }
    QCOMPARE(list().events, QList<Event> { event });
    QCOMPARE(storedFiles().size(), 1);
    QVERIFY(entries(temporaryFolder()).isEmpty());
}

void BackupServerTest::usersSeeOnlyTheirOwnEvents()
{
    const Event alices = makeEvent("shared-id", "alice's", "", 1000);
    const Event bobs = makeEvent("shared-id", "bob's", "", 1000);
    QCOMPARE(upload(alices, "alice data").status, 200);

    QVERIFY(list(0, 4294967295LL, {}, "bob", "bob-pass").events.isEmpty());
    QCOMPARE(download("shared-id", "bob", "bob-pass").status, 404);
    QCOMPARE(remove("shared-id", "bob", "bob-pass").status, 404);

    // The same id under another user is another event.
    QCOMPARE(upload(bobs, "bob data", "bob", "bob-pass").status, 200);
    QCOMPARE(list(0, 4294967295LL, {}, "bob", "bob-pass").events, QList<Event> { bobs });
    QCOMPARE(list().events, QList<Event> { alices });
    QCOMPARE(download("shared-id").body, QByteArray("alice data"));
    QCOMPARE(remove("shared-id", "bob", "bob-pass").status, 200);
    QCOMPARE(download("shared-id").body, QByteArray("alice data"));
}

void BackupServerTest::accountChangesTakeEffectAtOnce()
{
    QCOMPARE(upload(makeEvent("a-1", "one", "", 1000), "1").status, 200);
    QCOMPARE(list().events.size(), 1); // the login is remembered now

    QCOMPARE(m_server->account("passwd", "alice", "changed"), 0);
    QVERIFY(list().statusLine.contains("~**login error"));
    QCOMPARE(list(0, 4294967295LL, {}, "alice", "changed").events.size(), 1);

    QCOMPARE(m_server->account("adduser", "alice", "again"), 1);
    QCOMPARE(m_server->account("passwd", "nobody", "x"), 1);

    QCOMPARE(m_server->account("deluser", "alice"), 0);
    QVERIFY(list(0, 4294967295LL, {}, "alice", "changed").statusLine.contains("~**login error"));
    QVERIFY(storedFiles().isEmpty());
    QCOMPARE(m_server->account("deluser", "alice"), 1);
}

void BackupServerTest::queryValuesArePercentDecoded()
{
    QCOMPARE(m_server->account("adduser", "x y", "p+w%d"), 0);
    // Encoded, and as the library sends upload targets: unencoded, with "+" meaning plus.
    QCOMPARE(upload(makeEvent("pct", "t", "", 1000), "z", "x y", "p+w%d").status, 200);
    const HttpClient::Reply reply
        = post("/action/file/quorvupload?username=x%20y&password=p+w%25d&access_id=-2&title=t t",
               document(makeEvent("raw", "t", "", 2000)) + "-|+");
    QCOMPARE(reply.status, 200);
    QVERIFY(!reply.body.contains("~**login error"));
    QCOMPARE(list(0, 4294967295LL, {}, "x y", "p+w%d").events.size(), 2);
}

void BackupServerTest::malformedRequestChangesNothing_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray login = account("alice", "alice-pass");
    const QByteArray upload = "/action/file/quorvupload?" + login + "&access_id=0&title=t";
    const auto withId
        = [](const QByteArray &id) { return document(makeEvent(id, "n", "d", 1000)) + "-|+data"; };
    const QByteArray good = withId("fine");

    QTest::newRow("not XML") << upload << QByteArray("garbage-|+data") << 400;
    QTest::newRow("unclosed element")
        << upload << QByteArray("<event><id>x</id><name>n</event>-|+data") << 400;
    QTest::newRow("other root") << upload << QByteArray("<file><id>x</id></file>-|+data") << 400;
    QTest::newRow("nested element")
        << upload << QByteArray("<event><id>x<b>y</b></id></event>-|+data") << 400;
    QTest::newRow("doctype")
        << upload
        << QByteArray("<!DOCTYPE event [<!ENTITY a \"b\">]><event><id>&a;</id></event>-|+") << 400;
    QTest::newRow("no separator") << upload << QByteArray("<event><id>x</id></event>data") << 400;
    QTest::newRow("ends in document") << upload << QByteArray("<event><id>x</id>") << 400;
    QTest::newRow("ends before separator")
        << upload << QByteArray("<event><id>x</id></event>-|") << 400;
    QTest::newRow("no id element")
        << upload << QByteArray("<event><name>x</name></event>-|+") << 400;
    QTest::newRow("empty id") << upload << withId("") << 400;
    QTest::newRow("dot id") << upload << withId(".") << 400;
    QTest::newRow("dot dot id") << upload << withId("..") << 400;
    QTest::newRow("slash id") << upload << withId("../escape") << 400;
    QTest::newRow("backslash id") << upload << withId("a\\b") << 400;
    QTest::newRow("control id") << upload << withId("a\tb") << 400;
    QTest::newRow("document over 1 MiB")
        << upload << document(makeEvent("big", "n", QByteArray(1100 * 1024, 'd'), 1000)) + "-|+"
        << 400;
    QTest::newRow("body over limit") << upload << withId("huge") + QByteArray(5 << 20, 'x') << 413;
    QTest::newRow("no username") << QByteArray(
        "/action/file/quorvupload?password=alice-pass&access_id=0")
                                 << good << 400;
    QTest::newRow("no access_id") << "/action/file/quorvupload?" + login << good << 400;
    QTest::newRow("access_id not a number")
        << "/action/file/quorvupload?" + login + "&access_id=x" << good << 400;
    QTest::newRow("list without starttime")
        << "/action/file/quorvget?" + login + "&endtime=5" << QByteArray("NoData") << 400;
    QTest::newRow("list with word for time")
        << "/action/file/quorvget?" + login + "&starttime=today&endtime=5" << QByteArray("NoData")
        << 400;
    QTest::newRow("download without extguid")
        << "/action/file/quorvdownload?" + login << QByteArray("<event/>") << 400;
    QTest::newRow("download dot dot")
        << "/action/file/quorvdownload?" + login + "&extguid=.." << QByteArray("<event/>") << 400;
    QTest::newRow("download encoded slash")
        << "/action/file/quorvdownload?" + login + "&extguid=a%2Fb" << QByteArray("<event/>")
        << 400;
    QTest::newRow("delete empty id")
        << "/action/file/quorvdelete?" + login + "&extguid=" << QByteArray("<event/>") << 400;
}

void BackupServerTest::malformedRequestChangesNothing()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    const HttpClient::Reply reply = post(target, body);
    QCOMPARE(reply.status, status);
    QVERIFY(reply.body.startsWith("error: "));
    QVERIFY(list().events.isEmpty());
    QVERIFY(storedFiles().isEmpty());
    QVERIFY(entries(temporaryFolder()).isEmpty());
    // The connection and the server are fine afterwards.
    QCOMPARE(upload(makeEvent("after", "n", "", 1000), "ok").status, 200);
}

void BackupServerTest::cutOffUploadLeavesNothing()
{
    std::unique_ptr<QTcpSocket> socket = startUnfinishedUpload("cut");
    QVERIFY2(socket, "the server never started writing the upload");
    socket->abort();

    QVERIFY(m_server->waitForLog("title=unfinished 400"));
    QVERIFY(entries(temporaryFolder()).isEmpty());
    QVERIFY(storedFiles().isEmpty());
    QVERIFY(list().events.isEmpty());
}

void BackupServerTest::killDuringUploadKeepsCompleteEvents()
{
    const Event one = makeEvent("one", "one", "", 1000);
    const Event two = makeEvent("two", "two", "", 2000);
    const QByteArray oneFile = randomBytes(100 * 1024);
    QCOMPARE(upload(one, oneFile).status, 200);
    QCOMPARE(upload(two, "two").status, 200);

    std::unique_ptr<QTcpSocket> socket = startUnfinishedUpload("three");
    QVERIFY2(socket, "the server never started writing the upload");
    m_server->kill();
    socket.reset();

    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    QVERIFY(m_s3 || m_server->log().contains("removed 1 unfinished uploads"));
    QVERIFY(entries(temporaryFolder()).isEmpty());
    QCOMPARE(storedFiles().size(), 2);
    QCOMPARE(list().events, (QList<Event> { one, two }));
    QCOMPARE(download("one").body, oneFile);
    QCOMPARE(download("three").status, 404);
}

void BackupServerTest::curlUploadsAndDownloads()
{
    const QByteArray file = randomBytes(3 * 1024 * 1024 + 17);
    QFile body(m_dir->path() + "/body");
    QVERIFY(body.open(QIODevice::WriteOnly));
    body.write(document(makeEvent("by-curl", "curl upload", "", 1000)) + "-|+" + file);
    body.close();

    QProcess curl;
    curl.start("curl",
               { "-sS", "-X", "POST", "--data-binary", "@" + body.fileName(), "-o",
                 m_dir->path() + "/answer", "-w", "%{http_code}",
                 m_server->url("/action/file/quorvupload?" + account("alice", "alice-pass")
                               + "&access_id=2&title=curl") });
    QVERIFY(curl.waitForFinished(60000));
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("200"));
    QFile answer(m_dir->path() + "/answer");
    QVERIFY(answer.open(QIODevice::ReadOnly));
    QCOMPARE(answer.readAll(), QByteArray("OK saved\n"));

    curl.start("curl",
               { "-sS", "-X", "POST", "--data-binary", "<event/>", "-o",
                 m_dir->path() + "/downloaded", "-w", "%{http_code}",
                 m_server->url("/action/file/quorvdownload?" + account("alice", "alice-pass")
                               + "&extguid=by-curl") });
    QVERIFY(curl.waitForFinished(60000));
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("200"));
    QFile downloaded(m_dir->path() + "/downloaded");
    QVERIFY(downloaded.open(QIODevice::ReadOnly));
    QVERIFY(downloaded.readAll() == file);
}

void BackupServerTest::uploadsEndingTogetherAllCommit()
{
    // Rows of uploads that end at once share a commit: each is saved as if
    // alone, the later of two with one id replacing the other.
    struct Sent
    {
        QByteArray id, user, file;
    };
    std::vector<Sent> sent;
    for (int i = 0; i < 6; ++i)
        sent.push_back(
            { "e-" + QByteArray::number(i), i < 4 ? "alice" : "bob", randomBytes(70000) });
    sent.push_back({ "twice", "alice", "first bytes" });
    sent.push_back({ "twice", "alice", "other bytes" });
    std::vector<std::unique_ptr<QProcess>> curls;
    for (size_t i = 0; i < sent.size(); ++i) {
        QFile body(m_dir->path() + "/body" + QString::number(i));
        QVERIFY(body.open(QIODevice::WriteOnly));
        body.write(document(makeEvent(sent[i].id, "together", "", 1000)) + "-|+" + sent[i].file);
        body.close();
        curls.push_back(std::make_unique<QProcess>());
        curls.back()->start(
            "curl",
            { "-sS", "-X", "POST", "-H", "Expect:", "--data-binary", "@" + body.fileName(), "-o",
              "/dev/null", "-w", "%{http_code}",
              m_server->url("/action/file/quorvupload?"
                            + account(sent[i].user, sent[i].user + "-pass") + "&access_id=0") });
    }
    for (auto &curl : curls) {
        QVERIFY(curl->waitForFinished(60000));
        QCOMPARE(curl->readAllStandardOutput(), QByteArray("200"));
    }
    for (const Sent &one : sent) {
        const QByteArray got = download(one.id, one.user, one.user + "-pass").body;
        if (one.id == "twice")
            QVERIFY(got == "first bytes" || got == "other bytes");
        else
            QVERIFY(got == one.file);
    }
    QCOMPARE(list().events.size(), 5);
    QCOMPARE(storedFiles().size(), 7);
}

void BackupServerTest::chunkedBodiesAreReadAndLimited()
{
    // curl sends standard input with chunked transfer coding, which carries
    // no length the server could check in advance.
    const auto send = [this](const QByteArray &body, const QByteArray &id) {
        QProcess curl;
        curl.start("curl",
                   { "-sS", "-X", "POST", "-T", "-", "-H", "Expect:", "-o", "/dev/null", "-w",
                     "%{http_code}",
                     m_server->url("/action/file/quorvupload?" + account("alice", "alice-pass")
                                   + "&access_id=0&title=" + id) });
        curl.waitForStarted(10000);
        curl.write(document(makeEvent(id, id, "", 1000)) + "-|+" + body);
        curl.closeWriteChannel();
        if (!curl.waitForFinished(60000)) {
            curl.kill();
            curl.waitForFinished(10000);
        }
        return curl.readAllStandardOutput();
    };
    const QByteArray file = randomBytes(1024 * 1024);
    QCOMPARE(send(file, "chunked"), QByteArray("200"));
    QCOMPARE(download("chunked").body, file);

    QCOMPARE(send(QByteArray(5 << 20, 'x'), "too-big"), QByteArray("413"));
    QCOMPARE(download("too-big").status, 404);
    QVERIFY(entries(temporaryFolder()).isEmpty());
    QCOMPARE(storedFiles().size(), 1);
}

void BackupServerTest::logHoldsNoSecrets()
{
    QCOMPARE(upload(makeEvent("l", "l", "", 1000), "x").status, 200);
    list();
    download("l", "alice", "wrong-secret");
    QVERIFY(m_server->waitForLog("quorvdownload?username=*&password=*&extguid=l 403"));
    const QByteArray log = m_server->log();
    QVERIFY(log.contains(
        "POST /action/file/quorvupload?username=*&password=*&access_id=0&title=l 200"));
    QVERIFY(!log.contains("alice-pass"));
    QVERIFY(!log.contains("wrong-secret"));
    QVERIFY(!log.contains("alice"));
}

void BackupServerTest::refusesSecondServer()
{
    // Same data folder with a database of its own: the running server's
    // uploads and files must not be swept away. (Servers on one PostgreSQL
    // database share a folder; those are tested on their own.)
    ServerProcess sameFolder(m_server->dataFolder());
    QVERIFY(!sameFolder.start());
    QVERIFY2(sameFolder.failure().contains(m_postgres ? "holds the files of another database"
                                                      : "another server uses"),
             qPrintable(sameFolder.failure()));

    // Same port: must fail instead of sharing it.
    QTemporaryDir other;
    QProcess process;
    process.start(ServerProcess::program(),
                  { "--listen", QStringLiteral("127.0.0.1:%1").arg(m_server->port()), "--data",
                    other.path() });
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitCode(), 1);
    QVERIFY(process.readAllStandardError().contains("cannot listen"));
    QCOMPARE(list().events.size(), 0);

    // FIFOs planted in the folder hold no start: a stray upload goes, a
    // service id that is no file is refused.
    QTemporaryDir planted;
    QVERIFY(QDir(planted.path()).mkdir("tmp"));
    QCOMPARE(::mkfifo(QFile::encodeName(planted.filePath("tmp/stray")).constData(), 0600), 0);
    ServerProcess strays(planted.path());
    QVERIFY2(strays.start(), qPrintable(strays.failure()));
    QVERIFY(strays.stop());
    QVERIFY(!QFileInfo::exists(planted.filePath("tmp/stray")));
    QVERIFY(QFile::remove(planted.filePath("service-id")));
    QCOMPARE(::mkfifo(QFile::encodeName(planted.filePath("service-id")).constData(), 0600), 0);
    QVERIFY(!strays.start());
    QVERIFY2(strays.failure().contains("service-id is not a regular file"),
             qPrintable(strays.failure()));

    // A folder others could change the database in is no server's.
    QTemporaryDir open;
    const QByteArray path = QFile::encodeName(open.path());
    QCOMPARE(::chmod(path.constData(), 0777), 0);
    ServerProcess shared(open.path());
    QVERIFY(!shared.start());
    QVERIFY2(shared.failure().contains(open.path() + " can be written by other users"),
             qPrintable(shared.failure()));
    if (::geteuid() != 0)
        QSKIP("another user's folder needs root to make; the mode's refusal was checked");
    QCOMPARE(::chmod(path.constData(), 0700), 0);
    QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
    QVERIFY(!shared.start());
    QVERIFY2(shared.failure().contains("belongs to another user (uid 65534)"),
             qPrintable(shared.failure()));
}

void BackupServerTest::stopsOnSigint()
{
    QCOMPARE(upload(makeEvent("s", "s", "", 1000), "x").status, 200);
    m_http.closeIdleConnections();
    QVERIFY(m_server->stop(true));
    QVERIFY(m_server->log().contains("stopping on SIGINT"));
    QVERIFY(m_server->log().contains("stopped"));
    QVERIFY(m_server->start());
    QCOMPARE(list().events.size(), 1);
}

QTEST_GUILESS_MAIN(BackupServerTest)

#include "tst_BackupServer.moc"
