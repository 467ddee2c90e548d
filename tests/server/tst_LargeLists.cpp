// List answers too large to hold: large events read by slow readers, and a
// million events of one account, on SQLite and PostgreSQL. The server's memory
// stays bounded whatever an answer holds.

#include "PostgresCluster.h"
#include "RawConnection.h"
#include "ReferenceServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <memory>
#include <thread>
#include <vector>

// Clang before 15 tells of AddressSanitizer only through __has_feature.
#if !defined(__SANITIZE_ADDRESS__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif

namespace {

constexpr qint64 Start = 1000000000;
#ifdef __SANITIZE_ADDRESS__
// The sanitizer keeps freed memory in quarantine: the server's size tells nothing.
constexpr bool MemoryTells = false;
#else
constexpr bool MemoryTells = true;
#endif

QByteArray listRequest(qint64 from, qint64 to, const QByteArray &searchTitle = {})
{
    QByteArray target = QByteArray("/action/file/quorvget?username=") + ReferenceServer::User
        + "&password=" + ReferenceServer::Password + "&starttime=" + QByteArray::number(from)
        + "&endtime=" + QByteArray::number(to);
    if (!searchTitle.isEmpty())
        target += "&searchtitle=" + QUrl::toPercentEncoding(searchTitle);
    return rawPost(target, "NoData");
}

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// The values of one key in a list answer, in order; "!" when the answer is malformed.
QList<QByteArray> values(const QByteArray &answer, const QByteArray &key)
{
    const QList<QByteArray> lines = answer.split('\n');
    if (lines.first() != "OK events" || !lines.last().isEmpty())
        return { "!" };
    QList<QByteArray> found;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        if (lines[i] == "event")
            continue;
        if (lines[i] == key)
            found.append(lines[i + 1]);
        ++i;
    }
    return found;
}

QList<QByteArray> seedIds(int first, int last)
{
    QList<QByteArray> ids;
    for (int n = first; n <= last; ++n)
        ids.append("seed-" + QByteArray::number(n));
    return ids;
}

} // namespace

class LargeListsTest : public QObject
{
    Q_OBJECT

private slots:
    void slowReadersOfLargeEvents_data() { backends(); }
    void slowReadersOfLargeEvents();
    void millionEvents_data() { backends(); }
    void millionEvents();

private:
    void backends();
    // Into m_server; false with a warning when it cannot.
    bool startServer();
    RawConnection::Response list(const QByteArray &request);

    QTemporaryDir m_dir;
    int m_servers = 0;
    std::unique_ptr<PostgresCluster> m_postgres;
    std::unique_ptr<ReferenceServer> m_server;
};

void LargeListsTest::backends()
{
    QTest::addColumn<bool>("postgres");
    QTest::newRow("sqlite") << false;
    QTest::newRow("postgresql") << true;
}

bool LargeListsTest::startServer()
{
    QFETCH(bool, postgres);
    QString database;
    if (postgres) {
        if (!m_postgres) {
            m_postgres = std::make_unique<PostgresCluster>();
            if (!m_postgres->start()) {
                qWarning("%s", qPrintable(m_postgres->failure()));
                return false;
            }
        }
        database = m_postgres->newDatabase();
    }
    m_server = std::make_unique<ReferenceServer>(
        m_dir.path() + QStringLiteral("/data%1").arg(++m_servers), database);
    if (!m_server->start()) {
        qWarning("%s", qPrintable(m_server->failure()));
        return false;
    }
    return true;
}

RawConnection::Response LargeListsTest::list(const QByteArray &request)
{
    RawConnection connection;
    if (!connection.open(m_server->process().port()) || !connection.send(request))
        return {};
    return connection.read(60000);
}

// Six readers stall on answers of 64 MiB each while events are replaced and
// added, then take them: each costs the server a piece of its
// answer, not the answer, and each answer lists every event once.
void LargeListsTest::slowReadersOfLargeEvents()
{
    QVERIFY(startServer());
    constexpr int Events = 64;
    // Line breaks, one a line in the answer, fall on the pieces' edges too.
    const QByteArray description = QByteArray("ab\r\n").repeated(1 << 18);
    QVERIFY(m_server->seedEvents(ReferenceServer::User, Events, Start, 1, description));
    const QByteArray listed = QByteArray("ab ").repeated(1 << 18);
    const auto check = [&](const RawConnection::Response &answer, const QList<QByteArray> &ids) {
        const auto descriptions = values(answer.body, "description");
        return answer.status == 200 && values(answer.body, "id") == ids
            && descriptions.first() == listed && descriptions[Events - 1] == listed;
    };
    // What one answer leaves in the allocator's pools of the server's threads
    // is not what each reader holds.
    QVERIFY(check(list(listRequest(0, 4294967295LL)), seedIds(0, Events - 1)));
    const qint64 pid = m_server->process().pid();
    const qint64 before = peakMemoryKiB(pid);

    constexpr int Readers = 6;
    std::vector<std::unique_ptr<RawConnection>> readers;
    for (int i = 0; i < Readers; ++i) {
        readers.push_back(std::make_unique<RawConnection>());
        QVERIFY(readers.back()->open(m_server->process().port()));
        QVERIFY(readers.back()->send(listRequest(0, 4294967295LL)));
    }
    QTest::qWait(1000);
    // Behind every reader, ahead of every reader, and after the last.
    QVERIFY(m_server->upload("seed-1", "Event 1", "a.txt", "1", Start + 1));
    QVERIFY(m_server->upload("seed-60", "Event 60", "b.txt", "60", Start + 60));
    QVERIFY(m_server->upload("late", "Late", "c.txt", "late", Start + Events));
    // All at once: one by one, the last would wait behind the others past the
    // server's limit for a stalled reader on a busy machine.
    std::vector<RawConnection::Response> answers(Readers);
    std::vector<std::thread> takers;
    for (int i = 0; i < Readers; ++i)
        takers.emplace_back([&, i] { answers[i] = readers[i]->read(120000); });
    for (std::thread &taker : takers)
        taker.join();
    m_server->process().log();
    for (const auto &answer : answers)
        QVERIFY(check(answer, seedIds(0, Events - 1) << "late"));
    const qint64 grown = peakMemoryKiB(pid) - before;
    qInfo("%d readers of %d events of 1 MiB: the server's peak memory grew by %lld KiB, to %lld "
          "KiB",
          Readers, Events, grown, peakMemoryKiB(pid));
    QVERIFY2(!MemoryTells || grown < Readers * 10 * 1024, qPrintable(QString::number(grown)));
    m_server.reset();
}

// A day's list and a search through all events, each answered in little memory.
void LargeListsTest::millionEvents()
{
    QVERIFY(startServer());
    constexpr int Events = 1000000;
    QElapsedTimer timer;
    timer.start();
    // One a minute: 1440 a day, for almost two years.
    QVERIFY(m_server->seedEvents(ReferenceServer::User, Events, Start, 60));
    const qint64 seeded = timer.restart();
    const qint64 pid = m_server->process().pid();
    const qint64 before = peakMemoryKiB(pid);

    const qint64 day = Start + 300 * 86400;
    const auto dayList = list(listRequest(day, day + 86399));
    const qint64 listed = timer.restart();
    QCOMPARE(dayList.status, 200);
    QCOMPARE(values(dayList.body, "id"), seedIds(300 * 1440, 301 * 1440 - 1));

    const auto search = list(listRequest(0, 4294967295LL, "event 99999"));
    const qint64 searched = timer.restart();
    QCOMPARE(search.status, 200);
    QCOMPARE(values(search.body, "id"), seedIds(99999, 99999) + seedIds(999990, 999999));

    const qint64 grown = peakMemoryKiB(pid) - before;
    qInfo("%d events seeded in %lld ms; a day listed in %lld ms, all searched in %lld ms; the "
          "server's peak memory grew by %lld KiB",
          Events, seeded, listed, searched, grown);
    QVERIFY2(!MemoryTells || grown < 64 * 1024, qPrintable(QString::number(grown)));
    m_server.reset();
}

QTEST_GUILESS_MAIN(LargeListsTest)
#include "tst_LargeLists.moc"
