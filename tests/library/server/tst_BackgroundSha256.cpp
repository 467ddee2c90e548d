#include "BackgroundSha256.h"
#include "PatternBytes.h"

#include <QCryptographicHash>
#include <QTest>

using Quorvane::BackgroundSha256;

class tst_BackgroundSha256 : public QObject
{
    Q_OBJECT

private slots:
    void digestsEveryByteOnceInOrder();
};

void tst_BackgroundSha256::digestsEveryByteOnceInOrder()
{
    const QByteArray bytes = patternBytes(12 * 512 * 1024 + 777);
    const QByteArray expected = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);

    BackgroundSha256 hash;
    for (int round = 0; round < 2; ++round) {
        hash.add(bytes.constData(), 100);
        qsizetype at = 100;
        // Blocks hashed beside the caller's work, small ones between; each
        // buffer is refilled as soon as finish() gives it back, as a
        // download's staging block is.
        QByteArray block;
        for (int i = 0; i < 12; ++i) {
            const qsizetype size = i % 3 == 2 ? 1000 : 512 * 1024;
            block = bytes.mid(at, size);
            hash.begin(block.constData(), size_t(size));
            hash.finish();
            block.fill('x');
            at += size;
        }
        hash.add(bytes.constData() + at, size_t(bytes.size() - at));
        QCOMPARE(hash.digest().toHex(), expected.toHex());
        // After a reset only what follows counts.
        hash.begin(bytes.constData(), 2 * 1024 * 1024);
        hash.reset();
    }
}

QTEST_APPLESS_MAIN(tst_BackgroundSha256)
#include "tst_BackgroundSha256.moc"
