// A Qt host, like keycrate: the library builds its interface on the calling
// thread and starts no thread of its own.
#include "IQuorvane.h"
#include "WorkerThreads.h"

#include <QLibrary>
#include <QTest>
#include <QThread>
#include <thread>

using namespace Quorvane;

class QtHostTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameInterfaceAndNoWorker();
    void otherHostThreadGetsTheSameInterface();

private:
    QLibrary m_library;
    GetQuorvanePointerFunction m_get = nullptr;
};

void QtHostTest::initTestCase()
{
    m_library.setFileName(qEnvironmentVariable("KEYCRATE_BIN_DIR") + "/libQuorvane.so");
    QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
    m_get = reinterpret_cast<GetQuorvanePointerFunction>(m_library.resolve("GetQuorvanePointer"));
    QVERIFY(m_get);
}

void QtHostTest::sameInterfaceAndNoWorker()
{
    IQuorvane *first = m_get();
    QVERIFY(first);
    QCOMPARE(m_get(), first);
    QCOMPARE(workerThreads(), 0);
    QCOMPARE(first->getVersion(), "Version: 1.14");
}

void QtHostTest::otherHostThreadGetsTheSameInterface()
{
    // A plain thread: thread checkers see its join, not a QThread's wait.
    IQuorvane *fromThread = nullptr;
    std::thread([&] { fromThread = m_get(); }).join();
    QCOMPARE(fromThread, m_get());
    QCOMPARE(workerThreads(), 0);
}

QTEST_GUILESS_MAIN(QtHostTest)
#include "tst_QtHost.moc"
