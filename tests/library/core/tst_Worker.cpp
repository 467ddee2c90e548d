// The library linked in directly, in a process without a Qt application:
// the worker thread builds the interface once and owns it.
#include "InterfaceSingleton.h"
#include "MainThread.h"
#include "OwnerQueue.h"
#include "QuorvaneInterface.h"
#include "WorkerThreads.h"

#include <QCoreApplication>
#include <QTest>
#include <QThread>
#include <thread>
#include <vector>

using namespace Quorvane;

namespace {

QStringList g_messages;
std::mutex g_messagesMutex;

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &text)
{
    std::lock_guard<std::mutex> lock(g_messagesMutex);
    g_messages << text;
}

} // namespace

class WorkerTest : public QObject
{
    Q_OBJECT

private slots:
    void concurrentFirstCallsBuildOneInterfaceInTheWorker();
    void deletedInterfaceIsRebuiltInTheWorker();
};

void WorkerTest::concurrentFirstCallsBuildOneInterfaceInTheWorker()
{
    QVERIFY(!QCoreApplication::instance());
    QVERIFY(!InterfaceSingleton::current());
    qInstallMessageHandler(recordMessage);

    const int hostThreads = 6;
    std::vector<QuorvaneInterface *> got(hostThreads, nullptr);
    std::atomic<int> ready { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < hostThreads; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < hostThreads)
                std::this_thread::yield();
            got[i] = InterfaceSingleton::obtain();
        });
    }
    for (std::thread &thread : threads)
        thread.join();

    QVERIFY(got[0]);
    for (QuorvaneInterface *interface : got)
        QCOMPARE(interface, got[0]);
    QCOMPARE(workerThreads(), 1);

    MainThread *worker = InterfaceSingleton::workerThread();
    QVERIFY(worker);
    QVERIFY(worker->isRunning());
    QCOMPARE(worker->priority(), QThread::TimeCriticalPriority);
    QVERIFY(QCoreApplication::instance());
    QCOMPARE(QCoreApplication::instance()->thread(), worker);
    QCOMPARE(got[0]->thread(), worker);

    qInstallMessageHandler(nullptr);
    // Making the application in the worker is deliberate: Qt must not warn.
    QVERIFY2(g_messages.isEmpty(), qPrintable(g_messages.join('\n')));
}

void WorkerTest::deletedInterfaceIsRebuiltInTheWorker()
{
    QuorvaneInterface *old = InterfaceSingleton::obtain();
    QVERIFY(old);
    QCOMPARE(old->setRefreshDays(6), 0);
    // Deleted on the worker, as a host that deletes it through the interface
    // from a callback would. The library's own queue carries the call there.
    OwnerQueue onWorker;
    onWorker.moveToThread(InterfaceSingleton::workerThread());
    onWorker.runAndWait([old] { delete old; });
    QCOMPARE(InterfaceSingleton::current(), nullptr);

    QuorvaneInterface *rebuilt = InterfaceSingleton::obtain();
    QVERIFY(rebuilt);
    QCOMPARE(InterfaceSingleton::current(), rebuilt);
    QCOMPARE(rebuilt->thread(), InterfaceSingleton::workerThread());
    QCOMPARE(rebuilt->getRefreshDays(), 6);
    QCOMPARE(workerThreads(), 1);
}

QTEST_APPLESS_MAIN(WorkerTest)
#include "tst_Worker.moc"
