// How long the login throttle refuses: a strike's interval doubles up to the
// longest, success clears only the name it belongs to, and simultaneous
// guesses cannot outrun the count.

#include "http/LoginThrottle.h"

#include <QTest>
#include <atomic>
#include <thread>
#include <vector>

using namespace QuorvaneServer;
using namespace std::chrono_literals;

namespace {

LoginThrottle::Settings quickSettings()
{
    LoginThrottle::Settings settings;
    settings.perName = 2;
    settings.perAddress = 100;
    settings.window = 60s;
    settings.firstDelay = 150ms;
    settings.longestDelay = 600ms;
    return settings;
}

// Fails a login, then waits until attempts are let through again.
std::chrono::milliseconds failAndWait(LoginThrottle &throttle)
{
    const auto start = LoginThrottle::Clock::now();
    throttle.failed("alice", "10.0.0.1");
    while (throttle.reserve("alice", "10.0.0.1") != 0)
        std::this_thread::sleep_for(5ms);
    const auto waited = LoginThrottle::Clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(waited);
}

} // namespace

class LoginThrottleTest : public QObject
{
    Q_OBJECT

private slots:
    void intervalDoublesUpToTheLongest();
    void successClearsOnlyItsName();
    void simultaneousGuessesAreCountedAndNamesBounded();
};

void LoginThrottleTest::intervalDoublesUpToTheLongest()
{
    LoginThrottle throttle(quickSettings());
    throttle.failed("alice", "10.0.0.1");
    QCOMPARE(throttle.reserve("alice", "10.0.0.1"), 0);

    // Only lower bounds are sure on a busy machine; each is past the one
    // before, so an interval that stopped doubling fails here.
    QVERIFY(failAndWait(throttle) >= 150ms);
    QVERIFY(failAndWait(throttle) >= 300ms);
    QVERIFY(failAndWait(throttle) >= 600ms);
    // Capped: without the cap this strike alone would last 1.2 s, the next 2.4 s.
    const auto capped = failAndWait(throttle) + failAndWait(throttle);
    QVERIFY2(capped >= 1200ms && capped < 3600ms, qPrintable(QString::number(capped.count())));
    QCOMPARE(throttle.reserve("alice", "10.0.0.2"), 0);
}

void LoginThrottleTest::successClearsOnlyItsName()
{
    LoginThrottle throttle(quickSettings());
    for (const char *name : { "alice", "bob" }) {
        throttle.failed(name, "10.0.0.1");
        throttle.failed(name, "10.0.0.1");
        QVERIFY(throttle.reserve(name, "10.0.0.1") >= 1);
    }
    throttle.succeeded("alice", "10.0.0.1");
    QCOMPARE(throttle.reserve("alice", "10.0.0.1"), 0);
    QVERIFY(throttle.reserve("bob", "10.0.0.1") >= 1);
    // Cleared means counted from nothing again, not one failure from a strike.
    throttle.failed("alice", "10.0.0.1");
    QCOMPARE(throttle.reserve("alice", "10.0.0.1"), 0);
}

void LoginThrottleTest::simultaneousGuessesAreCountedAndNamesBounded()
{
    LoginThrottle throttle(LoginThrottle::Settings {});
    std::atomic<int> checked { 0 };
    std::atomic<bool> go { false };
    std::vector<std::thread> guessers;
    for (int i = 0; i < 64; ++i) {
        guessers.emplace_back([&] {
            while (!go)
                std::this_thread::yield();
            if (throttle.reserve("alice", "10.0.0.1") != 0)
                return;
            ++checked;
            // The password check takes a while; others arrive meanwhile.
            std::this_thread::sleep_for(20ms);
            throttle.failed("alice", "10.0.0.1");
        });
    }
    go = true;
    for (auto &guesser : guessers)
        guesser.join();
    QVERIFY2(checked >= 1 && checked <= 5, qPrintable(QString::number(checked)));
    QVERIFY(throttle.reserve("alice", "10.0.0.1") >= 1);

    // A name is kept only as far as an account name may reach.
    const std::string longName(15000, 'n');
    throttle.failed(longName, "10.0.0.2");
    throttle.failed(longName, "10.0.0.2");
    throttle.failed(longName.substr(0, 256), "10.0.0.2");
    throttle.failed(longName + "x", "10.0.0.2");
    throttle.failed(longName + "y", "10.0.0.2");
    QVERIFY(throttle.reserve(longName.substr(0, 256) + "z", "10.0.0.2") >= 1);
}

QTEST_GUILESS_MAIN(LoginThrottleTest)
#include "tst_LoginThrottle.moc"
