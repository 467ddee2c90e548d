#include "BackgroundSha256.h"

#include <QCryptographicHash>
#include <QTest>
#include <cstring>

using Quorvane::BackgroundSha256;

class tst_BackgroundSha256 : public QObject
{
    Q_OBJECT

private slots:
    void digestsEveryByteOnceInOrder();
};

void tst_BackgroundSha256::digestsEveryByteOnceInOrder()
{
    QByteArray bytes(12 * 512 * 1024 + 777, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = char(state);
    }
    const QByteArray expected = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);

    BackgroundSha256 hash;
    for (int round = 0; round < 2; ++round) {
        hash.add(bytes.constData(), 100);
        qsizetype at = 100;
        // More copies than may wait, small ones between, each source buffer
        // overwritten as soon as it is handed over, as curl refills its own.
        QByteArray scratch;
        for (int block = 0; block < 10; ++block) {
            const qsizetype size = block % 3 == 2 ? 1000 : 512 * 1024;
            scratch = bytes.mid(at, size);
            hash.addCopy(scratch.constData(), size_t(size));
            scratch.fill('x');
            at += size;
        }
        // A block of the caller's, hashed in place beside its own work.
        hash.begin(bytes.constData() + at, size_t(512 * 1024));
        hash.finish();
        at += 512 * 1024;
        scratch = bytes.mid(at);
        hash.addCopy(scratch.constData(), size_t(scratch.size()));
        scratch.fill('x');
        QCOMPARE(hash.digest().toHex(), expected.toHex());
        // After a reset only what follows counts.
        hash.addCopy(bytes.constData(), 64 * 1024);
        hash.reset();
    }
}

QTEST_APPLESS_MAIN(tst_BackgroundSha256)
#include "tst_BackgroundSha256.moc"
