// How long the login throttle refuses: a strike's interval doubles up to the
// longest, and success clears only the name it belongs to. Logins at once:
// guesses cannot outrun the count, honest logins are not refused, and a
// long name does not make a big record.

#include "accounts/PasswordHash.h"
#include "http/Authenticator.h"
#include "http/LoginThrottle.h"
#include "store/AccountStore.h"
#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/FolderStore.h"
#include "store/Schema.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>
#include <unistd.h>
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
    while (throttle.refusal("alice", "10.0.0.1") != 0)
        std::this_thread::sleep_for(5ms);
    const auto waited = LoginThrottle::Clock::now() - start;
    return std::chrono::duration_cast<std::chrono::milliseconds>(waited);
}

// Resident bytes of this process.
qint64 residentBytes()
{
    QFile statm("/proc/self/statm");
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

} // namespace

class LoginThrottleTest : public QObject
{
    Q_OBJECT

private slots:
    void intervalDoublesUpToTheLongest();
    void successClearsOnlyItsName();
    void loginsAtOnce();
    void longNamesMakeSmallRecords();
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

void LoginThrottleTest::loginsAtOnce()
{
    using namespace QuorvaneServer;
    QTemporaryDir dir;
    DataFolder folder(dir.path().toStdString());
    const std::string location = "sqlite:" + folder.databasePath();
    const auto db = Database::open(location);
    Schema::prepare(*db, location);
    FolderStore files(folder);
    AccountStore accounts(*db, files);
    QVERIFY(accounts.add("alice", PasswordHash::make("alice-pass")));
    Authenticator authenticator(accounts);

    // Every login starts together; returns how many had their password checked.
    const auto together = [&](LoginThrottle &throttle, int count, const std::string &password) {
        std::vector<Authenticator::Outcome> outcomes(static_cast<size_t>(count));
        std::vector<std::thread> threads;
        std::atomic<bool> go { false };
        for (auto &outcome : outcomes)
            threads.emplace_back([&, out = &outcome] {
                while (!go)
                    std::this_thread::yield();
                *out = authenticator.login("alice", password, throttle, "10.0.0.1");
            });
        go = true;
        for (auto &thread : threads)
            thread.join();
        int checked = 0;
        for (const auto &outcome : outcomes)
            checked += outcome.retryAfter == 0 ? 1 : 0;
        return std::make_pair(checked, outcomes);
    };

    LoginThrottle guessed { LoginThrottle::Settings {} };
    const auto [checked, refused] = together(guessed, 64, "guess");
    QCOMPARE(checked, 5);
    for (const auto &outcome : refused)
        QVERIFY(!outcome.user);

    // Honest logins at once are no failures, more of them than the threshold too.
    LoginThrottle honest { LoginThrottle::Settings {} };
    const auto [honestChecked, admitted] = together(honest, 8, "alice-pass");
    QCOMPARE(honestChecked, 8);
    for (const auto &outcome : admitted)
        QVERIFY(outcome.user);
}

void LoginThrottleTest::longNamesMakeSmallRecords()
{
    // 20,000 names of 15 KB would hold 300 MB; a record may keep 256 bytes of one.
    LoginThrottle::Settings settings = quickSettings();
    settings.perAddress = 1000000;
    LoginThrottle throttle(settings);
    std::string name(15000, 'n');
    const qint64 before = residentBytes();
    for (int i = 0; i < 20000; ++i) {
        name.replace(0, 8, QByteArray::number(i).rightJustified(8, '0').toStdString());
        throttle.failed(name, "10.0.0.1");
    }
    const qint64 grown = residentBytes() - before;
    QVERIFY2(before > 0 && grown < 64 * 1024 * 1024, qPrintable(QString::number(grown)));
    // Still told apart: each name failed once, none is throttled.
    QCOMPARE(throttle.refusal(name, "10.0.0.1"), 0);
}

QTEST_GUILESS_MAIN(LoginThrottleTest)
#include "tst_LoginThrottle.moc"
