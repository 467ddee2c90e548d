// The budget that an object store's transfers share: turns in order, never
// more than the limit, and a wait that ends when the line stalls or the
// transfer is dropped.

#include "store/TransferBudget.h"

#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

using QuorvaneServer::TransferBudget;
using namespace std::chrono_literals;

class TransferBudgetTest : public QObject
{
    Q_OBJECT

private slots:
    void turnsComeInOrderWithinTheLimit();
    void waitEndsWhenTheLineStallsOrIsCancelled();
    void onlyAFewSharedThreadsWait();
};

void TransferBudgetTest::turnsComeInOrderWithinTheLimit()
{
    TransferBudget budget(100);
    budget.pin(40);
    TransferBudget::Share first = budget.take(45, 30s);
    QVERIFY(first);
    std::atomic<int> order { 0 };
    int largeAt = 0;
    int smallAt = 0;
    // Asks for more than the pinned 40 leave, and is given what they leave.
    std::thread large([&] {
        const TransferBudget::Share share = budget.take(1000, 30s);
        largeAt = share ? ++order : -1;
    });
    QTRY_COMPARE(budget.waited(), uint64_t(1));
    // Would fit beside the first, though not beside the large one, and does
    // not pass it.
    std::thread small([&] {
        const TransferBudget::Share share = budget.take(45, 30s);
        smallAt = share ? ++order : -1;
    });
    QTRY_COMPARE(budget.waited(), uint64_t(2));
    QCOMPARE(smallAt, 0);
    QVERIFY(!budget.tryTake(1));
    first = {};
    large.join();
    small.join();
    QCOMPARE(largeAt, 1);
    QCOMPARE(smallAt, 2);
    QVERIFY(budget.highWater() <= budget.limit());
    QVERIFY(budget.tryTake(100));
    QVERIFY(!budget.tryTake(1));
}

void TransferBudgetTest::waitEndsWhenTheLineStallsOrIsCancelled()
{
    TransferBudget budget(10);
    const TransferBudget::Share held = budget.take(10, 30s);
    QVERIFY(!budget.take(5, 50ms));
    std::atomic<bool> dropped { false };
    std::thread dropper([&] {
        std::this_thread::sleep_for(50ms);
        dropped = true;
    });
    QVERIFY(!budget.take(5, 600s, [&] { return dropped.load(); }));
    dropper.join();
    QCOMPARE(budget.highWater(), size_t(10));
}

// Slow readers holding the whole budget must not take every request thread.
void TransferBudgetTest::onlyAFewSharedThreadsWait()
{
    TransferBudget budget(10);
    TransferBudget::Share held = budget.take(10, 30s);
    std::vector<std::thread> waiting;
    std::atomic<int> given { 0 };
    for (size_t i = 0; i < TransferBudget::SharedWaiters; ++i)
        waiting.emplace_back([&] {
            if (budget.take(1, 600s, {}, TransferBudget::Waiter::SharedThread))
                ++given;
        });
    QTRY_COMPARE(budget.waited(), uint64_t(TransferBudget::SharedWaiters));
    QVERIFY(!budget.take(1, 600s, {}, TransferBudget::Waiter::SharedThread));
    // A transfer on its own thread still takes its turn.
    std::thread own([&] {
        if (budget.take(1, 600s))
            ++given;
    });
    QTRY_COMPARE(budget.waited(), uint64_t(TransferBudget::SharedWaiters + 1));
    held = {};
    for (std::thread &thread : waiting)
        thread.join();
    own.join();
    QCOMPARE(given.load(), int(TransferBudget::SharedWaiters + 1));
}

QTEST_GUILESS_MAIN(TransferBudgetTest)
#include "tst_TransferBudget.moc"
