// The test-started S3 gateway: it answers signed requests of another client
// and leaves nothing behind.

#include "S3Cluster.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class tst_S3Cluster : public QObject
{
    Q_OBJECT

private slots:
    void servesSignedRequestsAndCleansUp();
};

namespace {

// Resident memory of the processes that run a program started from folder.
qint64 residentKiB(const QString &folder)
{
    qint64 total = 0;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile command("/proc/" + pid + "/cmdline");
        if (!command.open(QIODevice::ReadOnly) || !command.readAll().contains(folder.toUtf8()))
            continue;
        QFile status("/proc/" + pid + "/status");
        status.open(QIODevice::ReadOnly);
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                total += line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return total;
}

} // namespace

void tst_S3Cluster::servesSignedRequestsAndCleansUp()
{
    QString folder;
    {
        S3Cluster cluster;
        QElapsedTimer started;
        started.start();
        QVERIFY2(cluster.start(), qPrintable(cluster.failure()));
        folder = cluster.folder();
        qInfo("started in %lld ms, %lld KiB resident", static_cast<long long>(started.elapsed()),
              static_cast<long long>(residentKiB(folder)));

        // Another signer than ours: curl's own.
        QTemporaryDir scratch;
        const QString file = scratch.filePath("object");
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(QByteArray(300000, 'q') + "end");
        out.close();
        const QString url = cluster.endpoint() + "/" + cluster.bucket() + "/some/object";
        const QStringList sign = { "-sS",         "--fail",
                                   "--aws-sigv4", "aws:amz:" + cluster.region() + ":s3",
                                   "--user",      cluster.accessKey() + ":" + cluster.secretKey(),
                                   "-H",          "x-amz-content-sha256: UNSIGNED-PAYLOAD" };
        QProcess curl;
        curl.start("curl", sign + QStringList { "-T", file, url });
        QVERIFY(curl.waitForFinished(30000));
        QCOMPARE(curl.exitCode(), 0);
        curl.start("curl", sign + QStringList { "-r", "299998-", url });
        QVERIFY(curl.waitForFinished(30000));
        QCOMPARE(curl.readAllStandardOutput(), QByteArray("qqend"));

        QCOMPARE(cluster.keys("some/"), QStringList { "some/object" });
        QCOMPARE(cluster.request("GET", cluster.bucket() + "/some/object").body.size(), 300003);
        // A request signed with another secret is refused.
        QCOMPARE(curl.exitCode(), 0);
        QStringList wrong = sign;
        wrong[5] = cluster.accessKey() + ":wrong";
        curl.start("curl", wrong + QStringList { url });
        QVERIFY(curl.waitForFinished(30000));
        QVERIFY(curl.exitCode() != 0);

        // The gateway alone stops and comes back with what it stores.
        cluster.stopGateway();
        QCOMPARE(cluster.request("GET", cluster.bucket() + "/some/object").status, 0L);
        QVERIFY2(cluster.startGateway(), qPrintable(cluster.failure()));
        QCOMPARE(cluster.request("GET", cluster.bucket() + "/some/object").status, 200L);

        QElapsedTimer stopped;
        stopped.start();
        cluster.stop();
        qInfo("stopped in %lld ms", static_cast<long long>(stopped.elapsed()));
    }
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(residentKiB(folder), 0);
}

QTEST_GUILESS_MAIN(tst_S3Cluster)
#include "tst_S3Cluster.moc"
