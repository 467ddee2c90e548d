// When the 39 pipes cannot be built, the library gets by with 9.

#include "PoolProbe.h"

#include <QTest>

using namespace Quorvane;

class PipePoolFallbackTest : public QObject
{
    Q_OBJECT

private slots:
    void failedPreferredPoolFallsBackToNine();
    void addsWrapAfterTheNinthPipe();
    void noPoolAtAllAnswers33();

private:
    PoolProbe m_probe;
    QList<int> m_attempts;
};

void PipePoolFallbackTest::failedPreferredPoolFallsBackToNine()
{
    // The sixth of the 39 fails: the five built so far must go again.
    PipePool::setFailureSeam([this](int size, int index) {
        m_attempts << size;
        return size == PipePool::PreferredSize && index == 5;
    });
    QVERIFY(m_probe.setUp());
    PipePool::setFailureSeam(nullptr);
    QCOMPARE(m_probe.pool->size(), 9);
    QCOMPARE(m_attempts.count(39), 6);
    QCOMPARE(m_attempts.count(9), 9);
}

void PipePoolFallbackTest::addsWrapAfterTheNinthPipe()
{
    RecordingUser user;
    QList<int> served;
    for (int i = 0; i < 12; ++i)
        served << m_probe.addTextEvent(user, i % 2 ? 2 : 1);
    QCOMPARE(served, (QList<int> { 0, 1, 2, 3, 4, 5, 6, 7, 8, 0, 0, 1 }));
}

void PipePoolFallbackTest::noPoolAtAllAnswers33()
{
    delete m_probe.library;
    PipePool::setFailureSeam([](int, int) { return true; });
    QuorvaneInterface *library = InterfaceSingleton::obtain();
    PipePool::setFailureSeam(nullptr);
    QVERIFY(library);
    QVERIFY(!library->pipePool());

    RecordingUser user;
    QCOMPARE(library->addEvent(hostEvent(1, 2, "Nowhere", ""), &user), 33);
    QCOMPARE(library->uploadEvents(idList({ "a" }), &user), 33);
    QCOMPARE(library->openEventFile("a", &user), 33);
    QCOMPARE(library->getEventList(), nullptr);
    QCOMPARE(library->getEvent("a").name, nullptr);
    library->cancelAll();
    QCoreApplication::processEvents();
    QVERIFY(user.finishes.isEmpty() && user.messages.isEmpty());
    delete library;
}

QTEST_GUILESS_MAIN(PipePoolFallbackTest)
#include "tst_PipePoolFallback.moc"
