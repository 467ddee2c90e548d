#include "UploadBody.h"

#include <QTemporaryDir>
#include <QTest>

using namespace Quorvane;

class TestUploadBody : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString fileName;
    QByteArray fileBytes;

private slots:
    void initTestCase()
    {
        // Several of the body's disk blocks, and not a whole number of them.
        for (quint32 i = 0; i < 700 * 1024 + 3; ++i)
            fileBytes += char((i * 2654435761u) >> 24);
        fileName = dir.filePath("file.bin");
        QFile file(fileName);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileBytes);
    }

    void headThenFileWithLengthUpFront()
    {
        UploadBody body("<doc/>-|+", fileName);
        QVERIFY(body.open(QIODevice::ReadOnly));
        QCOMPARE(body.size(), qint64(9 + fileBytes.size()));
        QVERIFY(!body.isSequential());
        QByteArray all;
        while (!body.atEnd()) {
            const QByteArray piece = body.read(7001);
            QVERIFY(!piece.isEmpty());
            all += piece;
        }
        QVERIFY(all == "<doc/>-|+" + fileBytes);
    }

    void rewindsForASecondSending()
    {
        UploadBody body("head", fileName);
        QVERIFY(body.open(QIODevice::ReadOnly));
        body.read(500 * 1024);
        QVERIFY(body.seek(2));
        QCOMPARE(body.read(6), QByteArray("ad") + fileBytes.left(4));
        QVERIFY(body.seek(4 + 300000));
        QVERIFY(body.read(100) == fileBytes.mid(300000, 100));
        QVERIFY(!body.seek(body.size() + 1));
    }

    void headAlone()
    {
        UploadBody body("NoData", QString());
        QVERIFY(body.open(QIODevice::ReadOnly));
        QCOMPARE(body.size(), qint64(6));
        QCOMPARE(body.readAll(), QByteArray("NoData"));
    }

    void missingOrShrinkingFile()
    {
        UploadBody missing("x", dir.filePath("nothing-here"));
        QVERIFY(!missing.open(QIODevice::ReadOnly));

        const QString shrinking = dir.filePath("shrinking.bin");
        QFile file(shrinking);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(fileBytes);
        file.close();
        UploadBody body("h", shrinking);
        QVERIFY(body.open(QIODevice::ReadOnly));
        QVERIFY(file.resize(1000));
        // The length promised cannot be delivered: reading fails instead of
        // padding or ending early without notice.
        char piece[4096];
        qint64 got;
        qint64 total = 0;
        while ((got = body.read(piece, sizeof piece)) > 0)
            total += got;
        QCOMPARE(got, qint64(-1));
        QVERIFY(total < body.size());
    }
};

QTEST_GUILESS_MAIN(TestUploadBody)
#include "tst_UploadBody.moc"
