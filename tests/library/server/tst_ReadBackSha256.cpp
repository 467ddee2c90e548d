#include "PatternBytes.h"
#include "ReadBackSha256.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using Quorvane::ReadBackSha256;

class tst_ReadBackSha256 : public QObject
{
    Q_OBJECT

private slots:
    void digestsEveryByteOnceInOrder();
    void bytesChangedBeforeReadBackDoNotMatch();
};

namespace {

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

} // namespace

void tst_ReadBackSha256::digestsEveryByteOnceInOrder()
{
    const QByteArray bytes = patternBytes(19 * 1024 * 1024 + 777);
    const qsizetype sizes[] = { 100, 16 * 1024, 300 * 1024 + 1, 512 * 1024, 64 * 1024 - 3 };
    QTemporaryDir folder;
    QFile file(folder.filePath("download"));
    // Write-only, as a download's file is opened.
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const auto hand = [&](ReadBackSha256 &hash, qsizetype from, qsizetype to, qsizetype peekAt,
                          qsizetype pieces = 0) {
        QByteArray piece;
        for (int i = 0; from < to; ++i) {
            const qsizetype size = qMin(pieces ? pieces : sizes[i % 5], to - from);
            piece = bytes.mid(from, size);
            QCOMPARE(file.write(piece), size);
            hash.written(int(file.handle()), piece.constData(), size_t(size));
            piece.fill('x'); // curl reuses its buffer
            from += size;
            // A look halfway sees the bytes so far and lets the rest go on.
            if (from >= peekAt && from - size < peekAt)
                QCOMPARE(hash.digest().toHex(), sha256(bytes.left(from)));
        }
    };

    ReadBackSha256 hash;
    hand(hash, 0, bytes.size(), 3 * 1024 * 1024);
    QCOMPARE(hash.digest().toHex(), sha256(bytes));
    // Started over, with bytes not read back yet, on a file cut to nothing.
    hash.reset();
    QVERIFY(file.resize(0) && file.seek(0));
    hand(hash, 0, 3 * 1024 * 1024, -1);
    hash.reset();
    QVERIFY(file.resize(0) && file.seek(0));
    hand(hash, 0, 5 * 1024 * 1024, -1);
    QCOMPARE(hash.digest().toHex(), sha256(bytes.left(5 * 1024 * 1024)));
    // Pieces handed faster than one thread hashes: the writer catches up.
    hash.reset();
    QVERIFY(file.resize(0) && file.seek(0));
    hand(hash, 0, bytes.size(), -1, 9 * 1024 * 1024);
    hand(hash, 0, bytes.size(), -1);
    QCOMPARE(hash.digest().toHex(), sha256(bytes + bytes));

    // A file that does not hold the bytes where they were handed is never
    // read back: they are hashed as handed.
    ReadBackSha256 elsewhere;
    QVERIFY(file.resize(0) && file.seek(0) && file.write("header") == 6);
    hand(elsewhere, 0, 4 * 1024 * 1024, -1);
    QCOMPARE(elsewhere.digest().toHex(), sha256(bytes.left(4 * 1024 * 1024)));
}

void tst_ReadBackSha256::bytesChangedBeforeReadBackDoNotMatch()
{
    // Another writer changes the file before the hash reads it back (less
    // than a batch: the thread leaves it to digest()); the digest then vouches
    // for what the file holds, not for what the server sent.
    const QByteArray bytes = patternBytes(1024 * 1024 + 100 * 1024);
    QTemporaryDir folder;
    QFile file(folder.filePath("download"));
    QVERIFY(file.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    ReadBackSha256 hash;
    for (qsizetype at = 0; at < bytes.size(); at += 256 * 1024) {
        const QByteArray piece = bytes.mid(at, 256 * 1024);
        QCOMPARE(file.write(piece), piece.size());
        hash.written(int(file.handle()), piece.constData(), size_t(piece.size()));
    }
    QVERIFY(file.seek(bytes.size() - 10) && file.write("changed") == 7);
    QVERIFY(hash.digest().toHex() != sha256(bytes));
}

QTEST_APPLESS_MAIN(tst_ReadBackSha256)
#include "tst_ReadBackSha256.moc"
