// The pool of 39 pipes: which pipe serves an add, selection from an id list,
// and who hears a pipe's reports.

#include "PoolProbe.h"

#include <QTest>

using namespace Quorvane;

class PipePoolTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void addsRotateOverThePoolWithTheFirstPipeTwiceAtTheWrap();
    void selectionStopsAtTheFirstUnknownId();
    void aListOperationWithNothingSelectedStillReports();
    void finishGoesToThePipesUserAndTextsToTheCurrentUser();

private:
    PoolProbe m_probe;
};

void PipePoolTest::initTestCase()
{
    QVERIFY(m_probe.setUp());
    QCOMPARE(m_probe.pool->size(), 39);
}

void PipePoolTest::addsRotateOverThePoolWithTheFirstPipeTwiceAtTheWrap()
{
    RecordingUser user;
    QList<int> served;
    for (int i = 0; i < 41; ++i) {
        served << m_probe.addTextEvent(user);
        if (i == 20) {
            // A server-only file event goes to the first pipe and leaves the
            // rotation where it was.
            const QList<int> before = m_probe.sizes();
            const int finished = user.finishes.size();
            QCOMPARE(
                m_probe.library->addEvent(hostEvent(4, 1, "File [x]", "/nonexistent/x"), &user), 0);
            QVERIFY(user.waitForFinished(finished + 1));
            QCOMPARE(m_probe.grown(before), 0);
        }
    }
    QList<int> expected;
    for (int i = 0; i < 39; ++i)
        expected << i;
    expected << 0 << 0;
    QCOMPARE(served, expected);
    QCOMPARE(m_probe.pool->cursor(), 1);
    // File events always take the first pipe.
    const QList<int> before = m_probe.sizes();
    const int finished = user.finishes.size();
    QCOMPARE(m_probe.library->addEvent(hostEvent(3, 2, "Kept here", "/nonexistent/y"), &user), 0);
    QVERIFY(user.waitForFinished(finished + 1));
    QCOMPARE(m_probe.grown(before), 0);
    QCOMPARE(m_probe.pool->cursor(), 1);
}

void PipePoolTest::selectionStopsAtTheFirstUnknownId()
{
    const EventMap &results = m_probe.pool->first().results();
    QVERIFY(results.size() >= 3);
    const QList<QByteArray> ids = results.keys();
    m_probe.pool->select({ ids[2], ids[0], "not-an-id", ids[1] });
    const EventMap &queue = m_probe.pool->first().workQueue();
    QCOMPARE(queue.keys(), (QList<QByteArray> { ids[0], ids[2] }));
    // Copies: the work queue's events are not the result map's.
    QCOMPARE(queue.value(ids[0]).getName(), results.value(ids[0]).getName());
    m_probe.pool->select({ "not-an-id", ids[0] });
    QVERIFY(m_probe.pool->first().workQueue().isEmpty());
}

void PipePoolTest::aListOperationWithNothingSelectedStillReports()
{
    RecordingUser user;
    const int count = int(m_probe.pool->first().results().size());
    QCOMPARE(
        m_probe.library->uploadEvents(idList({ "00000000-0000-0000-0000-000000000000" }), &user),
        0);
    QVERIFY(user.waitForFinished());
    QCOMPARE(user.finishes.size(), 1);
    QCOMPARE(user.last().code, 0);
    QCOMPARE(user.last().count, count);
    QCOMPARE(user.messages, QList<QByteArray> { "Done." });
}

void PipePoolTest::finishGoesToThePipesUserAndTextsToTheCurrentUser()
{
    RecordingUser filler;
    while (m_probe.pool->cursor() != 3)
        QVERIFY(m_probe.addTextEvent(filler) >= 0);

    // A fetched event on pipe 3 waits for its address; meanwhile user B takes
    // the first pipe and so becomes the current user.
    RecordingUser a;
    RecordingUser b;
    EventNative fetched = hostEvent(0, 2, "Fetched", "");
    fetched.content = "http://127.0.0.1:9/nothing-here";
    QCOMPARE(m_probe.library->addEvent(fetched, &a), 0);
    QVERIFY(m_probe.pool->pipe(3).isBusy());
    QCOMPARE(m_probe.pool->pipe(3).user(), &a);
    QCOMPARE(m_probe.library->loadEvents(&b, true, 0, 0, "", "", false), 0);

    QVERIFY(a.waitForFinished());
    QVERIFY(b.waitForFinished());
    QCOMPARE(a.finishes.size(), 1);
    QCOMPARE(a.last().code, 99);
    QCOMPARE(a.messages, QList<QByteArray> { "Downloading event \"Fetched\"..." });
    // B heard both pipes' "Error.": its own read's and pipe 3's.
    QCOMPARE(b.finishes.size(), 1);
    QCOMPARE(b.messages.count("Error."), 2);
}

QTEST_GUILESS_MAIN(PipePoolTest)
#include "tst_PipePool.moc"
