// The connection to PostgreSQL breaks or stalls before, at and after the
// COMMIT of an upload, a replacement and a removal: the answer and the stored
// state (row and file) agree, whichever way the commit went, and the client's
// retry ends right. A database out of reach or stalled at the login is
// answered 503. The client's connection breaks in the body, after the request
// and in the answer: what is stored is whole either way.

#include "FaultRelay.h"
#include "PostgresCluster.h"
#include "RawConnection.h"
#include "ServerProcess.h"
#include "ServiceClient.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

namespace {

enum class Change { Upload, Replace, Remove };

// PostgreSQL's answer that a COMMIT took effect.
const QByteArray Committed("C\0\0\0\x0b"
                           "COMMIT\0",
                           12);

} // namespace

class LostCommitTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cutAroundCommit_data();
    void cutAroundCommit();
    void clientCut_data();
    void clientCut();
    void loginUnreachable_data();
    void loginUnreachable();

private:
    int storedFiles() const
    {
        int count = 0;
        for (QDirIterator it(m_dir->path() + "/data", QDir::Files, QDirIterator::Subdirectories);
             it.hasNext(); it.next())
            ++count;
        return count;
    }
    PostgresCluster m_postgres;
    std::unique_ptr<FaultRelay> m_relay;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerProcess> m_server;
};

void LostCommitTest::initTestCase()
{
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.failure()));
}

void LostCommitTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    const QString database = m_postgres.newDatabase();
    QVERIFY2(!database.isEmpty(), qPrintable(m_postgres.failure()));
    m_relay = std::make_unique<FaultRelay>(quint16(m_postgres.port()));
    const QString name = database.section('/', 3).section('?', 0, 0);
    m_server = std::make_unique<ServerProcess>(m_dir->path() + "/data",
                                               m_postgres.tcpUrl(name, m_relay->port()));
    // The account command runs while the test waits for it: straight to the
    // database, not through the relay this thread serves.
    ServerProcess accounts(m_dir->path() + "/data", database);
    QCOMPARE(accounts.command({ "account", "add", "alice" }, "alice-pass\n").exitCode, 0);
    // A stalled connection counts as lost after a second.
    QVERIFY2(m_server->start({ "--database-timeout", "1" }), qPrintable(m_server->failure()));
}

void LostCommitTest::cleanup()
{
    m_server.reset();
    m_relay.reset();
    m_dir.reset();
}

void LostCommitTest::cutAroundCommit_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<FaultRelay::Fault>("fault");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("when");
    // 1: the change is made, 0: it is not, -1: either, as the answer says.
    QTest::addColumn<int>("made");
    const auto before = int(FaultRelay::When::BeforeForwarding);
    const auto after = int(FaultRelay::When::AfterForwarding);
    const QList<std::pair<const char *, Change>> changes = { { "upload", Change::Upload },
                                                             { "replace", Change::Replace },
                                                             { "remove", Change::Remove } };
    const QList<std::pair<const char *, FaultRelay::Fault>> faults
        = { { "cut", FaultRelay::Fault::Cut }, { "stalled", FaultRelay::Fault::Stall } };
    for (const auto &[name, change] : changes) {
        const QByteArray last
            = change == Change::Remove ? "DELETE FROM events" : "INSERT INTO events";
        for (const auto &[how, fault] : faults) {
            // C++17 lambdas capture no structured binding: copies of them.
            const auto row = [&, name = name, change = change, how = how,
                              fault = fault](const char *where) -> QTestData & {
                return QTest::addRow("%s, %s %s", name, how, where) << change << fault;
            };
            row("at the last statement") << last << before << 0;
            row("before COMMIT") << QByteArray("COMMIT") << before << 0;
            row("after COMMIT") << QByteArray("COMMIT") << after << -1;
            row("before COMMIT's answer") << Committed << before << 1;
        }
    }
}

void LostCommitTest::cutAroundCommit()
{
    QFETCH(Change, change);
    QFETCH(FaultRelay::Fault, fault);
    QFETCH(QByteArray, pattern);
    QFETCH(int, when);
    QFETCH(int, made);
    ServiceClient alice(m_server->url(""), "alice", "alice-pass");
    const QByteArray old = ServiceClient::randomBytes(4096);
    const QByteArray file = ServiceClient::randomBytes(4096);
    const int filesAtFirst = storedFiles();
    if (change != Change::Upload)
        QCOMPARE(alice.upload("e", old).body, QByteArray("OK saved\n"));
    const int filesBefore = storedFiles();

    m_relay->arm(pattern, fault, FaultRelay::When(when));
    const HttpClient::Reply reply
        = change == Change::Remove ? alice.remove("e") : alice.upload("e", file);
    QVERIFY(m_relay->fired());
    const bool succeeded = reply.status == 200;
    QCOMPARE(reply.body.startsWith("OK"), succeeded);
    if (!succeeded)
        QCOMPARE(reply.status, 503);
    if (made >= 0)
        QCOMPARE(succeeded, made == 1);

    // What the answer said is what is stored, row and file.
    const HttpClient::Reply download = alice.download("e");
    const QByteArray expected = change == Change::Upload ? (succeeded ? file : QByteArray())
        : change == Change::Replace                      ? (succeeded ? file : old)
                                                         : (succeeded ? QByteArray() : old);
    QCOMPARE(download.status, expected.isEmpty() ? 404 : 200);
    if (!expected.isEmpty())
        QCOMPARE(download.body == expected, true);
    const int filesNow = filesBefore + (change == Change::Upload && succeeded ? 1 : 0)
        - (change == Change::Remove && succeeded ? 1 : 0);
    QCOMPARE(storedFiles(), filesNow);

    // The client tries again and ends where it meant to. A stalled
    // transaction keeps its row locked until the database ends it, and a
    // change meanwhile is honestly answered 503: the client waits and retries.
    const auto retried = [](const std::function<HttpClient::Reply()> &send) {
        QDeadlineTimer deadline(20000);
        HttpClient::Reply reply = send();
        while (reply.status == 503 && !deadline.hasExpired()) {
            QTest::qWait(200);
            reply = send();
        }
        return reply;
    };
    if (change == Change::Remove) {
        QCOMPARE(retried([&] { return alice.remove("e"); }).status, succeeded ? 404 : 200);
        QCOMPARE(alice.download("e").status, 404);
        QCOMPARE(storedFiles(), filesAtFirst);
    } else {
        QCOMPARE(retried([&] { return alice.upload("e", file); }).body, QByteArray("OK saved\n"));
        QCOMPARE(alice.download("e").body, file);
        QCOMPARE(storedFiles(), filesAtFirst + 1);
    }
}

void LostCommitTest::clientCut_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("when");
    QTest::addColumn<int>("made");
    const auto before = int(FaultRelay::When::BeforeForwarding);
    const auto after = int(FaultRelay::When::AfterForwarding);
    QTest::addRow("upload, in the body") << Change::Upload << QByteArray("MIDDLE") << before << 0;
    QTest::addRow("upload, request sent") << Change::Upload << QByteArray("END") << after << -1;
    QTest::addRow("upload, answer lost") << Change::Upload << QByteArray("OK saved") << before << 1;
    QTest::addRow("replace, in the body") << Change::Replace << QByteArray("MIDDLE") << before << 0;
    QTest::addRow("replace, answer lost")
        << Change::Replace << QByteArray("OK saved") << before << 1;
    QTest::addRow("remove, request sent")
        << Change::Remove << QByteArray("</event>") << after << -1;
    QTest::addRow("remove, answer lost")
        << Change::Remove << QByteArray("OK deleted") << before << 1;
}

void LostCommitTest::clientCut()
{
    QFETCH(Change, change);
    QFETCH(QByteArray, pattern);
    QFETCH(int, when);
    QFETCH(int, made);
    const QByteArray old = ServiceClient::randomBytes(4096);
    const QByteArray file
        = ServiceClient::randomBytes(65536) + "MIDDLE" + ServiceClient::randomBytes(65536) + "END";
    const int filesAtFirst = storedFiles();
    if (change != Change::Upload)
        QCOMPARE(ServiceClient(m_server->url(""), "alice", "alice-pass").upload("e", old).body,
                 QByteArray("OK saved\n"));

    FaultRelay front(quint16(m_server->port()));
    ServiceClient cut("http://127.0.0.1:" + QString::number(front.port()), "alice", "alice-pass");
    front.arm(pattern, FaultRelay::Fault::Cut, FaultRelay::When(when));
    const HttpClient::Reply reply
        = change == Change::Remove ? cut.remove("e") : cut.upload("e", file);
    QVERIFY(front.fired());
    // Whatever the server still does for the cut request is over once it has stopped.
    if (made < 0) {
        QVERIFY(m_server->stop());
        QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    }

    ServiceClient alice(m_server->url(""), "alice", "alice-pass");
    const HttpClient::Reply download = alice.download("e");
    const QByteArray &stored = change == Change::Upload ? file : old;
    const bool changed = change == Change::Remove ? download.status == 404
        : change == Change::Upload                ? download.status == 200
                                                  : download.body == file;
    // The client's HTTP stack may send the request again on a new connection.
    if (reply.body.startsWith("OK"))
        QVERIFY(changed);
    else if (made >= 0)
        QCOMPARE(changed, made == 1);
    if (download.status == 200)
        QVERIFY(download.body == stored || download.body == file);
    // One file for the event while it is stored, none after; an unfinished
    // upload's is gone once the server has seen the cut.
    const int files = filesAtFirst + (download.status == 200 ? 1 : 0);
    QVERIFY2(QTest::qWaitFor([&] { return storedFiles() == files; }, 20000),
             qPrintable(QString::number(storedFiles())));
}

void LostCommitTest::loginUnreachable_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<FaultRelay::Fault>("fault");
    QTest::addRow("upload, cut") << Change::Upload << FaultRelay::Fault::Cut;
    QTest::addRow("remove, cut") << Change::Remove << FaultRelay::Fault::Cut;
    QTest::addRow("upload, stalled") << Change::Upload << FaultRelay::Fault::Stall;
}

void LostCommitTest::loginUnreachable()
{
    // Every connection that looks the account up is cut or stalls: the
    // database is out of reach at the login, and the client is told to try
    // again.
    QFETCH(Change, change);
    QFETCH(FaultRelay::Fault, fault);
    ServiceClient alice(m_server->url(""), "alice", "alice-pass");
    m_relay->arm("FROM users WHERE name", fault, FaultRelay::When::BeforeForwarding, {}, true);
    const HttpClient::Reply reply = change == Change::Remove
        ? alice.remove("e")
        : alice.upload("e", ServiceClient::randomBytes(4096));
    QVERIFY(m_relay->fired());
    QCOMPARE(reply.status, 503);
    RawConnection list;
    QVERIFY(list.open(m_server->port()));
    QVERIFY(list.send(rawPost(
        "/action/file/quorvget?username=alice&password=alice-pass&starttime=0&endtime=9", "")));
    const RawConnection::Response listed = list.read();
    QCOMPARE(listed.status, 503);
    QVERIFY(!listed.headers.value("retry-after").isEmpty());

    m_relay->arm("never sent", FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding);
    QCOMPARE(alice.upload("e", "x").body, QByteArray("OK saved\n"));
}

QTEST_GUILESS_MAIN(LostCommitTest)
#include "tst_LostCommit.moc"
