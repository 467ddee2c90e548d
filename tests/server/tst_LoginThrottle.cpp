// How long the login throttle refuses: a strike's interval doubles up to the
// longest, and success clears only the name it belongs to.

#include "http/LoginThrottle.h"

#include <QTest>
#include <thread>

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
    while (throttle.refusal("alice", "10.0.0.1") != 0)
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
};

void LoginThrottleTest::intervalDoublesUpToTheLongest()
{
    LoginThrottle throttle(quickSettings());
    throttle.failed("alice", "10.0.0.1");
    QCOMPARE(throttle.refusal("alice", "10.0.0.1"), 0);

    // Only lower bounds are sure on a busy machine; each is past the one
    // before, so an interval that stopped doubling fails here.
    QVERIFY(failAndWait(throttle) >= 150ms);
    QVERIFY(failAndWait(throttle) >= 300ms);
    QVERIFY(failAndWait(throttle) >= 600ms);
    // Capped: without the cap this strike alone would last 1.2 s, the next 2.4 s.
    const auto capped = failAndWait(throttle) + failAndWait(throttle);
    QVERIFY2(capped >= 1200ms && capped < 3600ms, qPrintable(QString::number(capped.count())));
    QCOMPARE(throttle.refusal("alice", "10.0.0.2"), 0);
}

void LoginThrottleTest::successClearsOnlyItsName()
{
    LoginThrottle throttle(quickSettings());
    for (const char *name : { "alice", "bob" }) {
        throttle.failed(name, "10.0.0.1");
        throttle.failed(name, "10.0.0.1");
        QVERIFY(throttle.refusal(name, "10.0.0.1") >= 1);
    }
    throttle.succeeded("alice", "10.0.0.1");
    QCOMPARE(throttle.refusal("alice", "10.0.0.1"), 0);
    QVERIFY(throttle.refusal("bob", "10.0.0.1") >= 1);
    // Cleared means counted from nothing again, not one failure from a strike.
    throttle.failed("alice", "10.0.0.1");
    QCOMPARE(throttle.refusal("alice", "10.0.0.1"), 0);
}

QTEST_GUILESS_MAIN(LoginThrottleTest)
#include "tst_LoginThrottle.moc"
