// migrate, copy, the account commands and /health on SQLite and PostgreSQL,
// with a data folder kept from the first server.

#include "PostgresCluster.h"
#include "ServerProcess.h"
#include "ServiceClient.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

// What the kept folder holds: its users and their files by event id.
const QByteArray Bob = "bob \xc3\xbc";
const QByteArray Notes = "first line\nsecond line\n";

QByteArray allBytes()
{
    QByteArray bytes;
    for (int round = 0; round < 40; ++round)
        for (int value = 0; value < 256; ++value)
            bytes.append(static_cast<char>(value));
    return bytes;
}

const QByteArray NotesId = "{11111111-1111-1111-1111-111111111111}";
const QByteArray PictureId = "{22222222-2222-2222-2222-222222222222}";
const QByteArray EmptyId = "{33333333-3333-3333-3333-333333333333}";

bool copyFolder(const QString &from, const QString &to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QFileInfo &entry :
         QDir(from).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
        const QString target = to + "/" + entry.fileName();
        if (entry.isDir() ? !copyFolder(entry.filePath(), target)
                          : !QFile::copy(entry.filePath(), target))
            return false;
    }
    return true;
}

} // namespace

class StoreCommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void migratesFolderOfFirstServer();
    void refusesNewerSchema();
    void copiesServiceToPostgres();
    void copyFindsDamagedFile();
    void healthFollowsDatabaseAndFolder();
    void removedAccountIdStaysUnused();
    void servedPostgresIsNotCopied();

private:
    // The kept folder, migrated; false on failure.
    bool migratedFixture();
    void verifyFixtureServedBy(const ServerProcess &server);
    QString data() const { return m_dir->path() + "/data"; }
    QString sqlite() const { return "sqlite:" + data() + "/events.sqlite"; }

    PostgresCluster m_postgres;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void StoreCommandsTest::initTestCase()
{
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.failure()));
}

void StoreCommandsTest::init()
{
    // A test before may have stopped it.
    if (!m_postgres.running())
        QVERIFY2(m_postgres.start(), qPrintable(m_postgres.failure()));
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(copyFolder(
        qEnvironmentVariable("KEYCRATE_SOURCE_DIR") + "/tests/server/fixtures/sqlite-v1", data()));
}

bool StoreCommandsTest::migratedFixture()
{
    return ServerProcess(data()).command({ "migrate" }).exitCode == 0;
}

void StoreCommandsTest::verifyFixtureServedBy(const ServerProcess &server)
{
    ServiceClient alice(server.url(""), "alice", "alice-pass");
    QCOMPARE(alice.ids(), (QList<QByteArray> { EmptyId, NotesId, PictureId }));
    QCOMPARE(alice.download(NotesId).body, Notes);
    QCOMPARE(alice.download(PictureId).body, allBytes());
    const HttpClient::Reply empty = alice.download(EmptyId);
    QCOMPARE(empty.status, 200);
    QCOMPARE(empty.body, QByteArray());
    ServiceClient bob(server.url(""), Bob, "bob pass");
    QCOMPARE(bob.ids(), QList<QByteArray> { NotesId });
    QCOMPARE(bob.download(NotesId).body, QByteArray("bob data"));
}

void StoreCommandsTest::migratesFolderOfFirstServer()
{
    ServerProcess server(data());
    QVERIFY(!server.start());
    QVERIFY2(server.failure().contains("schema version 1 of an older quorvane-server")
                 && server.failure().contains("quorvane-server migrate"),
             qPrintable(server.failure()));

    const ServerProcess::Run migrated = server.command({ "migrate" });
    QCOMPARE(migrated.exitCode, 0);
    QVERIFY2(migrated.out.contains("from schema version 1 to 7")
                 && migrated.out.contains("Hashed 4 stored files"),
             migrated.out.constData());
    QVERIFY(server.command({ "migrate" }).out.contains("has schema version 7 already"));

    QVERIFY2(server.start(), qPrintable(server.failure()));
    verifyFixtureServedBy(server);
    QVERIFY(server.stop());
    const ServerProcess::Run users = server.command({ "account", "list" });
    QCOMPARE(users.out, "alice\t3 events\t10263 bytes\n" + Bob + "\t1 events\t8 bytes\n");
}

void StoreCommandsTest::refusesNewerSchema()
{
    const QString database = m_postgres.newDatabase();
    ServerProcess server(data(), database);
    QCOMPARE(server.command({ "account", "add", "carol" }, "carol-pass\n").exitCode, 0);
    const QString name = database.section('/', 3).section('?', 0, 0);
    QVERIFY2(m_postgres.execute(name, "UPDATE quorvane_schema SET version = 99"),
             qPrintable(m_postgres.failure()));
    QVERIFY(!server.start());
    QVERIFY2(server.failure().contains("schema version 99, newer than this quorvane-server knows"),
             qPrintable(server.failure()));
    for (const QStringList &command : { QStringList { "migrate" }, { "account", "list" } }) {
        const ServerProcess::Run run = server.command(command);
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("newer than this quorvane-server"), run.err.constData());
    }
}

void StoreCommandsTest::copiesServiceToPostgres()
{
    QVERIFY(migratedFixture());
    const QString database = m_postgres.newDatabase();
    ServerProcess server(data(), database);
    // A new database on the old folder would take its files for strays.
    QVERIFY(!server.start());
    QVERIFY2(server.failure().contains("holds the files of another database"),
             qPrintable(server.failure()));

    const QString used = m_postgres.newDatabase();
    QCOMPARE(ServerProcess(data(), used).command({ "account", "add", "x" }, "x\n").exitCode, 0);
    const ServerProcess::Run refused
        = ServerProcess(data()).command({ "copy", "--from", sqlite(), "--to", used });
    QCOMPARE(refused.exitCode, 1);
    QVERIFY(refused.err.contains("holds accounts or events already"));

    const ServerProcess::Run copied
        = ServerProcess(data()).command({ "copy", "--from", sqlite(), "--to", database });
    QVERIFY2(copied.exitCode == 0, copied.err.constData());
    QVERIFY2(copied.out.contains("Copied 2 accounts and 4 events")
                 && copied.out.contains("Checked 4 files: 4 sound, 0 not."),
             copied.out.constData());
    const ServerProcess::Run again
        = ServerProcess(data()).command({ "copy", "--from", sqlite(), "--to", database });
    QCOMPARE(again.exitCode, 1);
    QVERIFY2(again.err.contains("was moved to another one already"), again.err.constData());
    // Served beside the new database, the old one would sweep new files away.
    ServerProcess old(data());
    QVERIFY(!old.start());
    QVERIFY2(old.failure().contains("was moved to another one"), qPrintable(old.failure()));

    // The copy serves as the original did, and new accounts get new ids.
    QCOMPARE(server.command({ "account", "add", "carol" }, "carol-pass\n").exitCode, 0);
    QVERIFY2(server.start(), qPrintable(server.failure()));
    verifyFixtureServedBy(server);
    ServiceClient carol(server.url(""), "carol", "carol-pass");
    QCOMPARE(carol.upload("c", "carol's").status, 200);
    QCOMPARE(carol.ids(), QList<QByteArray> { "c" });

    const ServerProcess::Run removed = server.command({ "account", "remove", Bob });
    QCOMPARE(removed.out, "Removed user \"" + Bob + "\" and 1 events.\n");
    QCOMPARE(QDir(data() + "/files").entryList(QDir::Files).size(), 4);
    const ServerProcess::Run users = server.command({ "account", "list" });
    QCOMPARE(users.out, QByteArray("alice\t3 events\t10263 bytes\ncarol\t1 events\t7 bytes\n"));
    QCOMPARE(server.command({ "account", "passwd", "carol" }, "new\n").exitCode, 0);
    QCOMPARE(carol.ids().size(), 0);
    QCOMPARE(ServiceClient(server.url(""), "carol", "new").ids(), QList<QByteArray> { "c" });
}

void StoreCommandsTest::copyFindsDamagedFile()
{
    QVERIFY(migratedFixture());
    // Damage alice's notes: one byte changed, same size.
    const QStringList files = QDir(data() + "/files").entryList(QDir::Files);
    for (const QString &name : files) {
        QFile file(data() + "/files/" + name);
        QVERIFY(file.open(QIODevice::ReadWrite));
        if (file.readAll() == Notes) {
            file.seek(0);
            file.write("F");
        }
    }
    const ServerProcess::Run copied = ServerProcess(data()).command(
        { "copy", "--from", sqlite(), "--to", m_postgres.newDatabase() });
    QCOMPARE(copied.exitCode, 1);
    QVERIFY2(copied.err.contains("the file of event " + NotesId + " of \"alice\" does not match"),
             copied.err.constData());
    QVERIFY(copied.out.contains("Checked 4 files: 3 sound, 1 not."));
}

void StoreCommandsTest::healthFollowsDatabaseAndFolder()
{
    QVERIFY(migratedFixture());
    const QString database = m_postgres.newDatabase();
    QCOMPARE(
        ServerProcess(data()).command({ "copy", "--from", sqlite(), "--to", database }).exitCode,
        0);
    // A password in the address never reaches the log.
    ServerProcess server(data(), database + "&password=secret-word");
    QVERIFY2(server.start(), qPrintable(server.failure()));
    QVERIFY(!server.log().contains("secret-word"));
    const QString health = server.url("/health");
    QCOMPARE(ServiceClient::get(health).status, 200);

    QVERIFY(QDir().rename(data() + "/files", data() + "/moved"));
    QCOMPARE(ServiceClient::get(health).status, 503);
    QVERIFY(QDir().rename(data() + "/moved", data() + "/files"));
    QCOMPARE(ServiceClient::get(health).status, 200);

    // The database ends the server's connections, as a restart would: the
    // server connects again by itself, the requests see nothing of it.
    const QString name = database.section('/', 3).section('?', 0, 0);
    QVERIFY(m_postgres.execute("postgres",
                               "SELECT pg_terminate_backend(pid) FROM "
                               "pg_stat_activity WHERE datname = '"
                                   + name.toUtf8() + "'"));
    QCOMPARE(ServiceClient::get(health).status, 200);
    QCOMPARE(ServiceClient(server.url(""), "alice", "alice-pass").download(NotesId).body, Notes);

    // Without the database, unhealthy; the reason goes to the log only.
    m_postgres.stop();
    const HttpClient::Reply down = ServiceClient::get(health);
    QCOMPARE(down.status, 503);
    QVERIFY(!down.body.contains("postgres"));
    QVERIFY(server.waitForLog("health: the database does not answer"));
}

void StoreCommandsTest::removedAccountIdStaysUnused()
{
    ServerProcess server(m_dir->path() + "/fresh");
    QCOMPARE(server.command({ "account", "add", "alice" }, "alice-pass\n").exitCode, 0);
    QCOMPARE(server.command({ "account", "add", "bob" }, "bob-pass\n").exitCode, 0);
    QVERIFY2(server.start(), qPrintable(server.failure()));

    // bob, the newest account, is logged in and half way through an upload
    // when bob is removed and carol added.
    const QByteArray body = ServiceClient::document("b") + "-|+" + QByteArray(4096, 'b');
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(server.port()));
    QVERIFY(socket.waitForConnected(10000));
    socket.write("POST /action/file/quorvupload?username=bob&password=bob-pass&access_id=0 "
                 "HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: "
                 + QByteArray::number(body.size()) + "\r\n\r\n" + body.left(body.size() / 2));
    QVERIFY(QTest::qWaitFor(
        [&] {
            socket.waitForBytesWritten(100);
            return !QDir(m_dir->path() + "/fresh/tmp").entryList({ "*.part" }).isEmpty();
        },
        20000));
    QCOMPARE(server.command({ "account", "remove", "bob" }).exitCode, 0);
    QCOMPARE(server.command({ "account", "add", "carol" }, "carol-pass\n").exitCode, 0);

    socket.write(body.mid(body.size() / 2));
    QByteArray answer;
    while (!answer.contains("login error") && socket.waitForReadyRead(30000))
        answer += socket.readAll();
    QVERIFY2(answer.contains("~**login error"), answer.constData());
    QCOMPARE(ServiceClient(server.url(""), "carol", "carol-pass").ids(), QList<QByteArray>());
}

void StoreCommandsTest::servedPostgresIsNotCopied()
{
    const QString source = m_postgres.newDatabase();
    const QString name = source.section('/', 3).section('?', 0, 0);
    ServerProcess server(m_dir->path() + "/served", source);
    QCOMPARE(server.command({ "account", "add", "alice" }, "alice-pass\n").exitCode, 0);
    QVERIFY2(server.start(), qPrintable(server.failure()));
    auto alice = std::make_unique<ServiceClient>(server.url(""), "alice", "alice-pass");
    QCOMPARE(alice->upload("a", "kept").body, QByteArray("OK saved\n"));

    const QStringList copy = { "copy", "--from", source, "--to", m_postgres.newDatabase() };
    const ServerProcess copier(m_dir->path() + "/served");
    const ServerProcess::Run refused = copier.command(copy);
    QVERIFY2(refused.exitCode == 1, refused.err.constData());
    QVERIFY2(refused.err.contains("still use the source database"), refused.err.constData());

    // Marked moved under a running server (a copy that raced its start): no
    // more writes there, while what it holds stays readable.
    QVERIFY(m_postgres.execute(name, "UPDATE service SET id = 'moved:' || id"));
    QCOMPARE(alice->upload("b", "lost").status, 503);
    QCOMPARE(alice->remove("a").status, 503);
    QCOMPARE(alice->download("a").body, QByteArray("kept"));
    alice.reset();
    QVERIFY(server.stop());

    QVERIFY(m_postgres.execute(name, "UPDATE service SET id = substr(id, 7)"));
    // The stopped server's connections end soon after it.
    ServerProcess::Run copied;
    QVERIFY(QTest::qWaitFor([&] { return (copied = copier.command(copy)).exitCode == 0; }, 20000));
    QVERIFY2(copied.out.contains("Copied 1 accounts and 1 events"), copied.out.constData());
}

QTEST_GUILESS_MAIN(StoreCommandsTest)
#include "tst_StoreCommands.moc"
