#include "PublishedBlock.h"

#include <QFile>
#include <QFileInfo>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cstring>
#include <sys/shm.h>
#include <thread>

using Platform::PublishedBlock;

namespace {

// What a reader that only knows Qt's shared-memory class sees.
std::optional<QByteArray> readWithQt(const QString &nativeKey)
{
    QSharedMemory block;
    block.setNativeKey(nativeKey);
    if (!block.attach(QSharedMemory::ReadOnly))
        return std::nullopt;
    return QByteArray(static_cast<const char *>(block.constData()), block.size());
}

// Lines enough that a copy takes many pages, each list of one letter.
QByteArray list(char letter, int lines)
{
    QByteArray bytes(lines * 64, letter);
    for (int line = 1; line <= lines; ++line)
        bytes[line * 64 - 1] = '\n';
    return bytes;
}

} // namespace

class tst_PublishedBlock : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void readersSeeOnlyWholeLists();
    void aLeftoverIsReplacedAndALiveBlockKept();
    void aKeyThatIsNotOursIsLeftAlone();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_key;
};

void tst_PublishedBlock::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_key = m_dir->filePath(QStringLiteral("key"));
}

void tst_PublishedBlock::readersSeeOnlyWholeLists()
{
    // Two of one size (rewritten in place) and one longer (a new segment).
    const QList<QByteArray> lists { list('a', 8000), list('b', 8000), list('c', 8001) };
    PublishedBlock block(m_key);
    QCOMPARE(block.publish(lists.first()), PublishedBlock::Outcome::Published);
    QCOMPARE(readWithQt(m_key), lists.first());

    std::atomic<bool> done { false };
    std::atomic<int> reads { 0 };
    std::atomic<int> torn { 0 };
    std::thread reader([&] {
        while (!done || reads < 50) {
            const std::optional<QByteArray> seen = PublishedBlock::read(m_key);
            if (!seen || !lists.contains(*seen))
                ++torn;
            ++reads;
        }
    });
    for (int round = 0; round < 300 || reads < 50; ++round)
        QCOMPARE(block.publish(lists.at(round % 3)), PublishedBlock::Outcome::Published);
    done = true;
    reader.join();
    QCOMPARE(torn.load(), 0);
    QCOMPARE(readWithQt(m_key), lists.at(2));

    QCOMPARE(block.publish({}), PublishedBlock::Outcome::Empty);
    QCOMPARE(PublishedBlock::read(m_key), std::nullopt);
    QVERIFY(!QFile::exists(m_key));
}

void tst_PublishedBlock::aLeftoverIsReplacedAndALiveBlockKept()
{
    QFile keyFile(m_key);
    QVERIFY(keyFile.open(QIODevice::WriteOnly));
    keyFile.close();
    const key_t key = ::ftok(QFile::encodeName(m_key).constData(), 'Q');
    const QByteArray ours = "/ours\n";

    // A killed publisher's block: nobody attached.
    const int left = ::shmget(key, 100, IPC_CREAT | IPC_EXCL | 0600);
    QVERIFY(left >= 0);
    {
        PublishedBlock block(m_key);
        QCOMPARE(block.publish(ours), PublishedBlock::Outcome::Published);
        QCOMPARE(readWithQt(m_key), ours);
    }
    struct shmid_ds info;
    QVERIFY(::shmctl(left, IPC_STAT, &info) != 0);
    QVERIFY(!QFile::exists(m_key));

    // Another running instance's block: attached, so it stays as it is.
    QVERIFY(keyFile.open(QIODevice::WriteOnly));
    keyFile.close();
    const int live = ::shmget(::ftok(QFile::encodeName(m_key).constData(), 'Q'), 7,
                              IPC_CREAT | IPC_EXCL | 0600);
    QVERIFY(live >= 0);
    void *address = ::shmat(live, nullptr, 0);
    std::memcpy(address, "/theirs", 7);
    PublishedBlock block(m_key);
    QCOMPARE(block.publish(ours), PublishedBlock::Outcome::Foreign);
    QCOMPARE(PublishedBlock::read(m_key), QByteArray("/theirs"));
    ::shmctl(live, IPC_RMID, nullptr);
    ::shmdt(address);
}

void tst_PublishedBlock::aKeyThatIsNotOursIsLeftAlone()
{
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    QFile target(elsewhere);
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.close();
    QVERIFY(QFile::link(elsewhere, m_key));
    {
        PublishedBlock block(m_key);
        QCOMPARE(block.publish("/a\n"), PublishedBlock::Outcome::Foreign);
        QCOMPARE(PublishedBlock::read(m_key), std::nullopt);
    }
    QVERIFY(QFileInfo(m_key).isSymLink());
    QCOMPARE(::shmget(::ftok(QFile::encodeName(elsewhere).constData(), 'Q'), 0, 0), -1);
}

QTEST_GUILESS_MAIN(tst_PublishedBlock)
#include "tst_PublishedBlock.moc"
