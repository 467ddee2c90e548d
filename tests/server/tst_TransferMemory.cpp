// The transfers' large buffers: kept for the next transfer of their size,
// never more than the limit, and bytes that survive a resize either way.

#include "store/TransferMemory.h"

#include <QTest>
#include <cstring>
#include <vector>

using QuorvaneServer::TransferMemory;

class TransferMemoryTest : public QObject
{
    Q_OBJECT

private slots:
    void blocksComeBackWithinTheLimit();
    void resizeKeepsTheBytes();
};

void TransferMemoryTest::blocksComeBackWithinTheLimit()
{
    constexpr size_t MiB = 1 << 20;
    void *first = TransferMemory::allocate(MiB);
    QVERIFY(first);
    std::memset(first, 7, MiB);
    TransferMemory::release(first);
    QCOMPARE(TransferMemory::kept(), MiB);
    // The same size takes the kept block; another size makes its own.
    void *other = TransferMemory::allocate(MiB / 2);
    QCOMPARE(TransferMemory::allocate(MiB), first);
    QCOMPARE(TransferMemory::kept(), size_t(0));
    TransferMemory::release(first);
    TransferMemory::release(other);

    // Small blocks are malloc's, and none is kept.
    void *small = TransferMemory::allocate(100);
    TransferMemory::release(small);
    QCOMPARE(TransferMemory::kept(), MiB + MiB / 2);

    std::vector<void *> many;
    for (size_t i = 0; i < 2 * TransferMemory::KeptLimit / MiB; ++i)
        many.push_back(TransferMemory::allocate(MiB));
    for (void *block : many)
        TransferMemory::release(block);
    QVERIFY(TransferMemory::kept() <= TransferMemory::KeptLimit);
    QVERIFY(TransferMemory::kept() > TransferMemory::KeptLimit - MiB);

    // A buffer goes back once, when its last owner goes.
    const size_t before = TransferMemory::kept();
    {
        TransferMemory::Buffer buffer;
        QVERIFY(buffer.reset(MiB));
        TransferMemory::Buffer moved = std::move(buffer);
        QVERIFY(!buffer.data() && moved.size() == MiB);
        buffer = std::move(moved);
        QCOMPARE(TransferMemory::kept(), before - MiB);
    }
    QCOMPARE(TransferMemory::kept(), before);
}

void TransferMemoryTest::resizeKeepsTheBytes()
{
    const QByteArray text = QByteArray("the first bytes of a buffer").repeated(10);
    // From malloc's to a size that would be kept, and from a kept block down.
    char *grown = static_cast<char *>(TransferMemory::allocate(text.size()));
    std::memcpy(grown, text.constData(), text.size());
    grown = static_cast<char *>(TransferMemory::resize(grown, 256 * 1024));
    QCOMPARE(QByteArray(grown, text.size()), text);
    char *kept = static_cast<char *>(TransferMemory::allocate(256 * 1024));
    std::memcpy(kept, text.constData(), text.size());
    kept = static_cast<char *>(TransferMemory::resize(kept, 100));
    QCOMPARE(QByteArray(kept, 100), text.left(100));
    kept = static_cast<char *>(TransferMemory::resize(kept, 512 * 1024));
    QCOMPARE(QByteArray(kept, 100), text.left(100));
    TransferMemory::release(grown);
    TransferMemory::release(kept);
    char *copy = TransferMemory::duplicate("copied");
    QCOMPARE(QByteArray(copy), QByteArray("copied"));
    TransferMemory::release(copy);
}

QTEST_GUILESS_MAIN(TransferMemoryTest)
#include "tst_TransferMemory.moc"
