#include "HandOverSetting.h"
#include "ResourceLimits.h"
#include "TerminationSignals.h"

#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <sys/resource.h>

using namespace Platform;

class tst_ProcessServices : public QObject
{
    Q_OBJECT

private slots:
    void terminationSignalsArriveOnTheEventLoop();
    void theOpenFileLimitIsRaisedToTheHardLimit();
    void theHandOverPathRoundTripsAndStaysPrivate();
};

void tst_ProcessServices::terminationSignalsArriveOnTheEventLoop()
{
    {
        TerminationSignals signals_;
        QVERIFY(signals_.isActive());
        TerminationSignals second;
        QVERIFY(!second.isActive());

        QSignalSpy spy(&signals_, &TerminationSignals::terminationRequested);
        ::raise(SIGTERM);
        QVERIFY(spy.wait(5000));
        ::raise(SIGINT);
        QTRY_COMPARE(spy.size(), 2);
        QCOMPARE(spy.at(0).at(0).toInt(), SIGTERM);
        QCOMPARE(spy.at(1).at(0).toInt(), SIGINT);
    }
    struct sigaction action;
    ::sigaction(SIGTERM, nullptr, &action);
    QVERIFY(action.sa_handler == SIG_DFL);
    // Free again for the next owner.
    TerminationSignals next;
    QVERIFY(next.isActive());
}

void tst_ProcessServices::theOpenFileLimitIsRaisedToTheHardLimit()
{
    struct rlimit limit;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max > 64) {
        struct rlimit lowered = limit;
        lowered.rlim_cur = 64;
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    const quint64 raised = ResourceLimits::raiseOpenFileLimit();
    struct rlimit now;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &now), 0);
    QCOMPARE(now.rlim_cur, limit.rlim_max);
    QCOMPARE(raised, quint64(now.rlim_cur));
}

void tst_ProcessServices::theHandOverPathRoundTripsAndStaysPrivate()
{
    QCOMPARE(HandOverSetting::read(), QByteArray());
    const QByteArray path = QStringLiteral("/tmp/Grüße aus Köln/a b.txt").toUtf8();
    QVERIFY(HandOverSetting::write(path));
    QCOMPARE(HandOverSetting::read(), path);

    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
    QCOMPARE(settings.value(QStringLiteral("file_to_process_path")).toString(),
             QString::fromUtf8(path));
    QCOMPARE(QFile::permissions(settings.fileName())
                 & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther),
             QFile::Permissions());

    // A program of ours may have stored it as bytes.
    settings.setValue(QStringLiteral("file_to_process_path"), QByteArray("/tmp/bytes"));
    settings.sync();
    QCOMPARE(HandOverSetting::read(), QByteArray("/tmp/bytes"));
}

QTEST_GUILESS_MAIN(tst_ProcessServices)
#include "tst_ProcessServices.moc"
