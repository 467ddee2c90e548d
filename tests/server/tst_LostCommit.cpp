// The connection to PostgreSQL breaks while COMMIT is on its way: the answer
// and the stored state (row and file) agree, whichever way the commit went.

#include "FaultRelay.h"
#include "PostgresCluster.h"
#include "ServerProcess.h"
#include "ServiceClient.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

class LostCommitTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void uploadCutAtCommit_data();
    void uploadCutAtCommit();
    void removeCutAtCommit_data();
    void removeCutAtCommit() { uploadCutAtCommit(); }

private:
    int storedFiles() const
    {
        int count = 0;
        for (QDirIterator it(m_dir->path() + "/data", QDir::Files, QDirIterator::Subdirectories);
             it.hasNext(); it.next())
            ++count;
        return count;
    }
    void columns();

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
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
}

void LostCommitTest::cleanup()
{
    m_server.reset();
    m_relay.reset();
    m_dir.reset();
}

void LostCommitTest::columns()
{
    QTest::addColumn<bool>("remove");
    QTest::addColumn<int>("when");
}

void LostCommitTest::uploadCutAtCommit_data()
{
    columns();
    QTest::newRow("before COMMIT") << false << int(FaultRelay::When::BeforeForwarding);
    QTest::newRow("after COMMIT") << false << int(FaultRelay::When::AfterForwarding);
}

void LostCommitTest::removeCutAtCommit_data()
{
    columns();
    QTest::newRow("before COMMIT") << true << int(FaultRelay::When::BeforeForwarding);
    QTest::newRow("after COMMIT") << true << int(FaultRelay::When::AfterForwarding);
}

void LostCommitTest::uploadCutAtCommit()
{
    QFETCH(bool, remove);
    QFETCH(int, when);
    ServiceClient alice(m_server->url(""), "alice", "alice-pass");
    const QByteArray file = ServiceClient::randomBytes(4096);
    if (remove)
        QCOMPARE(alice.upload("e", file).body, QByteArray("OK saved\n"));
    const int filesBefore = storedFiles();

    m_relay->arm("COMMIT", FaultRelay::Fault::Cut, FaultRelay::When(when));
    const HttpClient::Reply reply = remove ? alice.remove("e") : alice.upload("e", file);
    QVERIFY(m_relay->fired());
    const bool succeeded = reply.status == 200;
    if (!succeeded)
        QCOMPARE(reply.status, 503);
    QCOMPARE(reply.body.startsWith("OK"), succeeded);

    // Stored now: before a removal's success, after an upload's.
    const bool stored = remove != succeeded;
    const HttpClient::Reply download = alice.download("e");
    QCOMPARE(download.status, stored ? 200 : 404);
    QCOMPARE(download.body == file, stored);
    QCOMPARE(storedFiles(), filesBefore + (stored ? 1 : 0) - (remove ? 1 : 0));
}

QTEST_GUILESS_MAIN(LostCommitTest)
#include "tst_LostCommit.moc"
