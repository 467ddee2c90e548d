#include "QueuedSha256.h"

#include <QCryptographicHash>
#include <QTest>

using Quorvane::QueuedSha256;

class tst_QueuedSha256 : public QObject
{
    Q_OBJECT

private slots:
    void digestsEveryByteOnceInOrder();
};

void tst_QueuedSha256::digestsEveryByteOnceInOrder()
{
    // Several times the ring, so it wraps inside pieces, and one piece larger
    // than the whole ring.
    QByteArray bytes(19 * 1024 * 1024 + 777, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = char(state);
    }
    const QByteArray expected = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
    const qsizetype sizes[] = { 100, 16 * 1024, 300 * 1024 + 1, 5 * 1024 * 1024, 64 * 1024 - 3 };

    QueuedSha256 hash;
    // Alone below a mebibyte, hashed at once.
    hash.add(bytes.constData(), 1000);
    QCOMPARE(hash.digest(), QCryptographicHash::hash(bytes.left(1000), QCryptographicHash::Sha256));
    hash.reset();
    for (int round = 0; round < 2; ++round) {
        // Each piece is overwritten once handed over, as curl reuses its buffer.
        QByteArray piece;
        qsizetype at = 0;
        for (int i = 0; at < bytes.size(); ++i) {
            const qsizetype size = qMin(sizes[i % 5], bytes.size() - at);
            piece = bytes.mid(at, size);
            hash.add(piece.constData(), size_t(size));
            piece.fill('x');
            at += size;
            // A reader who looks halfway sees the bytes so far and lets the rest go on.
            if (round == 1 && i == 20)
                QCOMPARE(hash.digest(),
                         QCryptographicHash::hash(bytes.left(at), QCryptographicHash::Sha256));
        }
        QCOMPARE(hash.digest().toHex(), expected.toHex());
        // After a reset, with bytes still queued, only what follows counts.
        hash.add(bytes.constData(), 3 * 1024 * 1024);
        hash.reset();
    }
}

QTEST_APPLESS_MAIN(tst_QueuedSha256)
#include "tst_QueuedSha256.moc"
