// The commands that write (account add, passwd and remove, copy, migrate)
// with their connection to PostgreSQL cut before, at and after COMMIT: the
// exit code says what is stored, a file goes only with its committed row,
// one cut is outlasted, and a copy that breaks off for good is finished by
// running it again, while no server takes up its half. Copy and migrate
// leave the planner its statistics.

#include "FaultRelay.h"
#include "PostgresCluster.h"
#include "ServerProcess.h"
#include "ServiceClient.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

namespace {

enum class Command { Add, Passwd, Remove, Copy, Migrate };

// PostgreSQL's answer that a COMMIT took effect.
const QByteArray Committed("C\0\0\0\x0b"
                           "COMMIT\0",
                           12);

QString databaseName(const QString &uri)
{
    return uri.section('/', 3).section('?', 0, 0);
}

} // namespace

class CommitFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void cutAroundCommit_data();
    void cutAroundCommit();

private:
    // Whether condition holds in the database named.
    bool holds(const QString &database, const QByteArray &condition)
    {
        return m_postgres.execute(
            database, "DO $$BEGIN IF NOT (" + condition + ") THEN RAISE 'no'; END IF; END$$");
    }
    // The planner has statistics at once, not only once autovacuum comes by.
    bool analyzed(const QString &database)
    {
        return holds(database,
                     "(SELECT last_analyze FROM pg_stat_user_tables WHERE relname = 'events') IS "
                     "NOT NULL");
    }
    // Copy refuses while servers still use the source; the connections of
    // one that ended go soon after it.
    bool sourceUnused()
    {
        return QTest::qWaitFor(
            [&] {
                return holds(m_source,
                             "NOT EXISTS (SELECT 1 FROM pg_stat_activity WHERE datname = "
                             "current_database() AND application_name = 'quorvane-server')");
            },
            20000);
    }
    int storedFiles() const
    {
        int count = 0;
        for (QDirIterator it(m_dir->path() + "/data/files", QDir::Files,
                             QDirIterator::Subdirectories);
             it.hasNext(); it.next())
            ++count;
        return count;
    }
    // Through the relay, or straight to the cluster.
    QString location(const QString &name, bool relayed) const
    {
        return relayed ? m_postgres.tcpUrl(name, m_relay->port()) : m_postgres.url(name);
    }
    ServerProcess::Run run(Command command, bool relayed);
    bool made(Command command);

    PostgresCluster m_postgres;
    std::unique_ptr<FaultRelay> m_relay;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_source;
    QString m_target;
};

void CommitFaultsTest::initTestCase()
{
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.failure()));
}

void CommitFaultsTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_source = databaseName(m_postgres.newDatabase());
    m_target = databaseName(m_postgres.newDatabase());
    QVERIFY2(!m_source.isEmpty() && !m_target.isEmpty(), qPrintable(m_postgres.failure()));
    m_relay = std::make_unique<FaultRelay>(quint16(m_postgres.port()));
}

void CommitFaultsTest::cleanup()
{
    m_relay.reset();
    m_dir.reset();
}

ServerProcess::Run CommitFaultsTest::run(Command command, bool relayed)
{
    const ServerProcess server(m_dir->path() + "/data", location(m_source, relayed));
    switch (command) {
    case Command::Add:
        return server.command({ "account", "add", "bob" }, "bob-pass\n");
    case Command::Passwd:
        return server.command({ "account", "passwd", "alice" }, "new-pass\n");
    case Command::Remove:
        return server.command({ "account", "remove", "alice" });
    case Command::Copy:
        return ServerProcess(m_dir->path() + "/data")
            .command({ "copy", "--from", location(m_source, relayed), "--to",
                       location(m_target, relayed) });
    case Command::Migrate:
        return server.command({ "migrate" });
    }
    return {};
}

bool CommitFaultsTest::made(Command command)
{
    switch (command) {
    case Command::Add:
        return holds(m_source, "EXISTS (SELECT 1 FROM users WHERE name = 'bob')");
    case Command::Passwd:
        return holds(m_source,
                     "(SELECT password_hash FROM users WHERE name = 'alice') <> (SELECT "
                     "password_hash FROM hash_before)");
    case Command::Remove:
        return holds(m_source, "NOT EXISTS (SELECT 1 FROM users WHERE name = 'alice')");
    case Command::Copy:
        return holds(m_target,
                     "(SELECT count(*) FROM events) = 1 AND NOT EXISTS (SELECT 1 FROM service "
                     "WHERE id LIKE 'copying:%')")
            && holds(m_source, "EXISTS (SELECT 1 FROM service WHERE id LIKE 'moved:%')")
            && analyzed(m_target);
    case Command::Migrate:
        return holds(m_source, "to_regclass('quorvane_schema') IS NOT NULL") && analyzed(m_source);
    }
    return false;
}

void CommitFaultsTest::cutAroundCommit_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<int>("when");
    // Cut every connection that holds the pattern, not only the first.
    QTest::addColumn<bool>("every");
    const auto before = int(FaultRelay::When::BeforeForwarding);
    const auto after = int(FaultRelay::When::AfterForwarding);
    struct Path
    {
        const char *name;
        Command command;
        // The transaction's last statement, before its COMMIT.
        QByteArray last;
    };
    const QList<Path> paths = {
        { "account add", Command::Add, "INSERT INTO users" },
        { "account passwd", Command::Passwd, "UPDATE users" },
        { "account remove", Command::Remove, "DELETE FROM users" },
        { "copy, the target's rows", Command::Copy, "INSERT INTO events" },
        { "copy, the source marked moved", Command::Copy, "moved:" },
        { "migrate", Command::Migrate, "INSERT INTO quorvane_schema" },
    };
    for (const Path &path : paths) {
        const auto row = [&](const char *cut) -> QTestData & {
            return QTest::addRow("%s, %s", path.name, cut) << path.command;
        };
        row("last statement lost") << path.last << QByteArray() << before << false;
        row("COMMIT lost") << QByteArray("COMMIT") << path.last << before << false;
        row("COMMIT sent") << QByteArray("COMMIT") << path.last << after << false;
        row("COMMIT's answer lost") << Committed << path.last << before << false;
    }
    // Copied, but the source cannot be marked; marked, but the target cannot be named.
    QTest::addRow("copy broken off before marking the source")
        << Command::Copy << QByteArray("moved:") << QByteArray() << before << true;
    QTest::addRow("copy broken off before naming the target")
        << Command::Copy << QByteArray("DELETE FROM service") << QByteArray("moved:") << before
        << true;
}

void CommitFaultsTest::cutAroundCommit()
{
    QFETCH(Command, command);
    QFETCH(QByteArray, pattern);
    QFETCH(QByteArray, after);
    QFETCH(int, when);
    QFETCH(bool, every);

    if (command != Command::Migrate) {
        const ServerProcess direct(m_dir->path() + "/data", m_postgres.url(m_source));
        QCOMPARE(direct.command({ "account", "add", "alice" }, "alice-pass\n").exitCode, 0);
        QVERIFY(m_postgres.execute(m_source,
                                   "CREATE TABLE hash_before AS SELECT password_hash FROM users"));
    }
    if (command == Command::Remove || command == Command::Copy) {
        ServerProcess server(m_dir->path() + "/data", m_postgres.url(m_source));
        QVERIFY2(server.start(), qPrintable(server.failure()));
        QCOMPARE(ServiceClient(server.url(""), "alice", "alice-pass").upload("e", "kept").body,
                 QByteArray("OK saved\n"));
        QVERIFY(server.stop());
        QVERIFY(sourceUnused());
    }
    const int filesBefore = storedFiles();

    m_relay->arm(pattern, FaultRelay::Fault::Cut, FaultRelay::When(when), after, every);
    const ServerProcess::Run first = run(command, true);
    QVERIFY(m_relay->fired());
    QVERIFY2(first.exitCode == (every ? 1 : 0), (first.err + first.out).constData());
    QCOMPARE(made(command), !every);
    // The removed account's file went with its row.
    if (command == Command::Remove)
        QCOMPARE(storedFiles(), filesBefore - 1);
    if (!every)
        return;

    // No server takes up the half-made copy; run again, the copy is finished.
    QVERIFY2(first.err.contains("run it again"), first.err.constData());
    ServerProcess server(m_dir->path() + "/data", m_postgres.url(m_target));
    QVERIFY(!server.start());
    QVERIFY2(server.failure().contains("not finished"), qPrintable(server.failure()));
    QVERIFY(sourceUnused());
    const ServerProcess::Run again = run(command, false);
    QVERIFY2(again.exitCode == 0, again.err.constData());
    QVERIFY(made(command));
}

QTEST_GUILESS_MAIN(CommitFaultsTest)
#include "tst_CommitFaults.moc"
