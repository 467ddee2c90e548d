#include "PublishedBlock.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstring>
#include <sys/shm.h>
#include <unistd.h>

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

// Lines enough that a copy takes many pages, each list of one letter: two of
// one size (rewritten in place) and one longer (a new segment).
QList<QByteArray> publishedLists()
{
    QList<QByteArray> lists;
    for (const auto &[letter, lines] : { std::pair('a', 8000), { 'b', 8000 }, { 'c', 8001 } }) {
        QByteArray bytes(lines * 64, letter);
        for (int line = 1; line <= lines; ++line)
            bytes[line * 64 - 1] = '\n';
        lists.append(bytes);
    }
    return lists;
}

// Another program reading the block until told to stop: says when it has
// read once, and at the end how many reads and how many were not one whole
// list.
int readUntilStopped(const QString &key)
{
    const QList<QByteArray> lists = publishedLists();
    int reads = 0;
    int torn = 0;
    while (!QFile::exists(key + QStringLiteral(".stop"))) {
        const std::optional<QByteArray> seen = PublishedBlock::read(key);
        if (!seen || !lists.contains(*seen))
            ++torn;
        if (++reads == 1) {
            std::puts("");
            std::fflush(stdout);
        }
    }
    std::printf("%d %d\n", reads, torn);
    return 0;
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
    const QList<QByteArray> lists = publishedLists();
    PublishedBlock block(m_key);
    QCOMPARE(block.publish(lists.first()), PublishedBlock::Outcome::Published);
    QCOMPARE(readWithQt(m_key), lists.first());

    QProcess reader;
    reader.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--read"), m_key });
    QVERIFY(reader.waitForReadyRead(30000)); // it has read once
    for (int round = 0; round < 300; ++round)
        QCOMPARE(block.publish(lists.at(round % 3)), PublishedBlock::Outcome::Published);
    QFile stop(m_key + QStringLiteral(".stop"));
    QVERIFY(stop.open(QIODevice::WriteOnly));
    QVERIFY(reader.waitForFinished(30000));
    const QList<QByteArray> counts = reader.readAllStandardOutput().trimmed().split(' ');
    QCOMPARE(counts.size(), 2);
    QCOMPARE(counts.last(), "0"); // torn reads
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

    // Another user's segment under our key is no list of ours.
    if (::geteuid() != 0)
        return;
    const key_t under = ::ftok(QFile::encodeName(m_key).constData(), 'Q');
    QVERIFY(under != -1 && ::seteuid(65534) == 0);
    const int forged = ::shmget(under, 7, IPC_CREAT | IPC_EXCL | 0644);
    address = forged >= 0 ? ::shmat(forged, nullptr, 0) : nullptr;
    QVERIFY(::seteuid(0) == 0);
    QVERIFY(forged >= 0);
    std::memcpy(address, "/forged", 7);
    ::shmdt(address);
    const std::optional<QByteArray> seen = PublishedBlock::read(m_key);
    ::shmctl(forged, IPC_RMID, nullptr);
    QCOMPARE(seen, std::nullopt);
}

void tst_PublishedBlock::aKeyThatIsNotOursIsLeftAlone()
{
    PublishedBlock block(m_key);
    QCOMPARE(block.publish("/a\n"), PublishedBlock::Outcome::Published);
    const key_t ours = ::ftok(QFile::encodeName(m_key).constData(), 'Q');
    // A link put in place of the key file could lead our list elsewhere.
    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    QFile target(elsewhere);
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.close();
    QVERIFY(QFile::remove(m_key));
    QVERIFY(QFile::link(elsewhere, m_key));

    QCOMPARE(block.publish("/a\n"), PublishedBlock::Outcome::Foreign);
    QCOMPARE(PublishedBlock::read(m_key), std::nullopt);
    QCOMPARE(::shmget(ours, 0, 0), -1); // nothing of ours left under the old key
    QCOMPARE(::shmget(::ftok(QFile::encodeName(elsewhere).constData(), 'Q'), 0, 0), -1);
    block.withdraw();
    QVERIFY(QFileInfo(m_key).isSymLink());
}

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--read") == 0)
        return readUntilStopped(QString::fromLocal8Bit(argv[2]));
    QCoreApplication application(argc, argv);
    tst_PublishedBlock test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_PublishedBlock.moc"
