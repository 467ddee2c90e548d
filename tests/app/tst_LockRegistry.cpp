#include "ApplicationFolder.h"
#include "FileSizeLimit.h"
#include "HandOverSetting.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QSharedMemory>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using Platform::MessageBoxes;

namespace {

const QByteArray NoBlock = "<no block>";

// What another program of this user reads from the published block.
QByteArray published()
{
    QSharedMemory block;
    block.setNativeKey(QSharedMemory(QStringLiteral("mySharedMemory")).nativeKey()
                       + QLatin1Char('-') + QString::number(::getuid()));
    if (!block.attach(QSharedMemory::ReadOnly))
        return NoBlock;
    block.lock();
    const QByteArray bytes(static_cast<const char *>(block.constData()), block.size());
    block.unlock();
    return bytes;
}

// True when a cooperating program could not lock the file for itself.
bool sharedLockHeld(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return false;
    const bool refused = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return refused;
}

// Another program's exclusive lock; released by closing the descriptor.
int lockExclusively(const QByteArray &path)
{
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

class tst_LockRegistry : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void firstLockWritesALineAndTheLastUnlockRemovesTheList();
    void theWindowTogglesWithoutAHandOverPath();
    void handOverRequestsConfirmWithASystemBox();
    void entriesAreFoundByWholeLines();
    void aListThatCannotBeReplacedStaysAsItWas();
    void aLastLineWithoutLineFeedKeepsAllItsBytes();
    void reloadSkipsAFileThatCannotBeHeldAndGoesOn();
    void duplicatesCollapseAtAnOrderlyExit();
    void aDeletedFileIsInvalidAndItsLineIsDropped();
    void anEmptyLineCanBeDroppedFromTheWindow();
    void aListThatCannotBeOpenedFailsEverything();
    void statusesAreSortedByBytesEachPathOnce();
    void runningOutOfDescriptorsIsAnOrdinaryFailure();
    void theBlockIsTheUsersOwn();
    void onlyRegularFilesAreOpenedAndWithoutWaiting();
    void aNameWithALineFeedIsRefused();
    void aDropWhoseListCannotBeOpenedChangesNothing();

private:
    QByteArray makeFile(const QString &name);
    QByteArray list() const;
    void writeList(const QByteArray &content);
    bool listExists() const;

    std::unique_ptr<QTemporaryDir> m_application;
    std::unique_ptr<QTemporaryDir> m_files;
    QList<MessageBoxes::Box> m_boxes;
};

void tst_LockRegistry::init()
{
    ForgetLocks();
    m_application = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    setApplicationFolder(m_application->path());
    QVERIFY(Platform::HandOverSetting::write(QByteArray()));
    m_boxes.clear();
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return QMessageBox::Ok;
    });
}

void tst_LockRegistry::cleanup()
{
    ForgetLocks();
    MessageBoxes::setAnswerer({});
}

QByteArray tst_LockRegistry::makeFile(const QString &name)
{
    const QString path = m_files->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot create %s", qPrintable(path));
    file.write("content of " + name.toUtf8());
    return QFile::encodeName(path);
}

QByteArray tst_LockRegistry::list() const
{
    QFile file(LockListPath());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<no list>");
}

void tst_LockRegistry::writeList(const QByteArray &content)
{
    QFile file(LockListPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

bool tst_LockRegistry::listExists() const
{
    return QFile::exists(LockListPath());
}

void tst_LockRegistry::firstLockWritesALineAndTheLastUnlockRemovesTheList()
{
    QVERIFY(!listExists());
    // Which files are locked is the user's alone, whatever the umask.
    const mode_t mask = ::umask(0);
    const auto restoreMask = qScopeGuard([mask] { ::umask(mask); });
    QVERIFY(ReloadLockedFiles());
    QVERIFY(listExists());
    QCOMPARE(QFileInfo(LockListPath()).permissions() & 0x0077, QFileDevice::Permissions());
    QCOMPARE(list(), QByteArray());
    QCOMPARE(published(), NoBlock);

    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(QFileInfo(LockListPath()).permissions() & 0x0077, QFileDevice::Permissions());
    QCOMPARE(list(), a + '\n');
    QCOMPARE(published(), list());
    QCOMPARE(ReadLockStatuses(), LockStatuses({ { a, StatusLocked } }));
    QVERIFY(sharedLockHeld(a));

    QCOMPARE(ToggleLock(a), 0);
    QVERIFY(!listExists());
    QCOMPARE(published(), NoBlock);
    QVERIFY(!sharedLockHeld(a));
    QVERIFY(ReadLockStatuses().isEmpty());
    QVERIFY(m_boxes.isEmpty());
}

void tst_LockRegistry::theWindowTogglesWithoutAHandOverPath()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    for (const QByteArray &handOver : { QByteArray(), QByteArray("/no/such/file") }) {
        QVERIFY(Platform::HandOverSetting::write(handOver));
        QCOMPARE(ToggleLock(a), 0);
        QCOMPARE(ReadLockStatuses().value(a, -1), int(StatusLocked));
        QCOMPARE(ToggleLock(a), 0);
        QCOMPARE(ReadLockStatuses().value(a, -1), -1);
    }
    QVERIFY(m_boxes.isEmpty());
}

void tst_LockRegistry::handOverRequestsConfirmWithASystemBox()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    QCOMPARE(ToggleLock(), 99);
    QVERIFY(Platform::HandOverSetting::write(
        QFile::encodeName(m_files->filePath(QStringLiteral("gone")))));
    QCOMPARE(ToggleLock(), 99);
    QVERIFY2(m_boxes.isEmpty(), "a hand-over path that cannot be read fails silently");
    QVERIFY(!listExists());

    QVERIFY(Platform::HandOverSetting::write(a));
    QCOMPARE(ToggleLock(), 0);
    QCOMPARE(list(), a + '\n');
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].kind, MessageBoxes::Kind::System);
    QCOMPARE(m_boxes[0].parent, nullptr);
    QCOMPARE(m_boxes[0].title, QStringLiteral("KEYCRATE"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("Operation successful!"));
    QCOMPARE(ToggleLock(), 0);
    QVERIFY(!listExists());
    QCOMPARE(m_boxes.size(), 2);

    // A file another program holds exclusively cannot be locked.
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    const int other = lockExclusively(b);
    QVERIFY(other >= 0);
    QVERIFY(Platform::HandOverSetting::write(b));
    QCOMPARE(ToggleLock(), 99);
    ::close(other);
    QCOMPARE(m_boxes.size(), 3);
    QCOMPARE(m_boxes[2].kind, MessageBoxes::Kind::SystemError);
    QCOMPARE(m_boxes[2].title, QStringLiteral("Error"));
    QCOMPARE(m_boxes[2].text, QStringLiteral("Error locking/unlocking file!"));
    QCOMPARE(list(), QByteArray());
}

void tst_LockRegistry::entriesAreFoundByWholeLines()
{
    const QByteArray longer = makeFile(QStringLiteral("a.txt.bak"));
    const QByteArray shorter = makeFile(QStringLiteral("a.txt"));
    const QByteArray prefix = makeFile(QStringLiteral("a"));
    QCOMPARE(ToggleLock(longer), 0);
    QCOMPARE(ToggleLock(shorter), 0);
    QCOMPARE(ToggleLock(prefix), 0);
    QCOMPARE(list(), longer + '\n' + shorter + '\n' + prefix + '\n');

    QCOMPARE(ToggleLock(prefix), 0);
    QCOMPARE(list(), longer + '\n' + shorter + '\n');
    QCOMPARE(ToggleLock(shorter), 0);
    QCOMPARE(list(), longer + '\n');
    QCOMPARE(published(), longer + '\n');
    QVERIFY(sharedLockHeld(longer));
    QVERIFY(!sharedLockHeld(shorter));
}

void tst_LockRegistry::aListThatCannotBeReplacedStaysAsItWas()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(ToggleLock(b), 0);
    const QByteArray before = list();
    {
        const FileSizeLimit noRoom(0);
        QCOMPARE(ToggleLock(a), 99);
        const QByteArray c = makeFile(QStringLiteral("c.txt"));
        QCOMPARE(ToggleLock(c), 99);
        QVERIFY(!sharedLockHeld(c));
        CompactLockList();
    }
    QCOMPARE(list(), before);
    QVERIFY2(sharedLockHeld(a), "a file whose unlock could not be recorded stays locked");
    QCOMPARE(ReadLockStatuses().value(a), int(StatusLocked));
    QCOMPARE(published(), before);
}

void tst_LockRegistry::aLastLineWithoutLineFeedKeepsAllItsBytes()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    writeList(a);
    QVERIFY(ReloadLockedFiles());
    QCOMPARE(ReadLockStatuses(), LockStatuses({ { a, StatusLocked } }));
    QCOMPARE(published(), a + '\n');

    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    QCOMPARE(ToggleLock(b), 0);
    QCOMPARE(list(), a + '\n' + b + '\n');
    QCOMPARE(published(), list());
}

void tst_LockRegistry::reloadSkipsAFileThatCannotBeHeldAndGoesOn()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    const QByteArray c = makeFile(QStringLiteral("c.txt"));
    const QByteArray gone = QFile::encodeName(m_files->filePath(QStringLiteral("gone.txt")));
    const QByteArray content = a + '\n' + gone + '\n' + b + '\n' + c + '\n';
    writeList(content);
    const int other = lockExclusively(b);
    QVERIFY(other >= 0);
    QVERIFY(ReloadLockedFiles());
    ::close(other);

    QCOMPARE(ReadLockStatuses(),
             LockStatuses({ { a, StatusLocked },
                            { b, StatusNotHeld },
                            { c, StatusLocked },
                            { gone, StatusInvalid } }));
    QCOMPARE(list(), content);
    QCOMPARE(published(), a + '\n' + c + '\n');
    QVERIFY(sharedLockHeld(c));
}

void tst_LockRegistry::duplicatesCollapseAtAnOrderlyExit()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    writeList(a + '\n' + b + '\n' + a + '\n' + b);
    QCOMPARE(ReadLockStatuses(), LockStatuses({ { a, StatusNotHeld }, { b, StatusNotHeld } }));

    // Locking a listed path that is not held lists it once more.
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(list(), a + '\n' + b + '\n' + a + '\n' + b + '\n' + a + '\n');
    QCOMPARE(published(), list());
    QCOMPARE(ReadLockStatuses(), LockStatuses({ { a, StatusLocked }, { b, StatusNotHeld } }));

    CompactLockList();
    QList<QByteArray> lines = list().split('\n');
    QCOMPARE(lines.takeLast(), QByteArray());
    std::sort(lines.begin(), lines.end());
    QCOMPARE(lines, QList<QByteArray>({ a, b }));
}

void tst_LockRegistry::aDeletedFileIsInvalidAndItsLineIsDropped()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(ToggleLock(b), 0);
    QVERIFY(QFile::remove(QFile::decodeName(a)));
    QCOMPARE(ReadLockStatuses(), LockStatuses({ { a, StatusInvalid }, { b, StatusLocked } }));

    QCOMPARE(ToggleLock(a), 99);
    QCOMPARE(list(), b + '\n');
    QCOMPARE(published(), b + '\n');
    QVERIFY(m_boxes.isEmpty());

    // A new file at the old path is a new lock, not an unlock of the old one.
    QCOMPARE(makeFile(QStringLiteral("a.txt")), a);
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(ReadLockStatuses(), LockStatuses({ { a, StatusLocked }, { b, StatusLocked } }));
    QVERIFY(sharedLockHeld(a));
}

void tst_LockRegistry::anEmptyLineCanBeDroppedFromTheWindow()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray held = makeFile(QStringLiteral("held.txt"));
    writeList(a + "\n\n");
    QVERIFY(ReloadLockedFiles());
    QCOMPARE(ToggleLock(held), 0);
    QCOMPARE(ReadLockStatuses().value(QByteArray(), -1), int(StatusInvalid));

    // The row of an empty line names no file; it must not reach the hand-over path.
    QVERIFY(Platform::HandOverSetting::write(held));
    QCOMPARE(ToggleLock(QByteArray()), 99);
    QCOMPARE(list(), a + '\n' + held + '\n');
    QVERIFY(sharedLockHeld(held));
    QVERIFY(m_boxes.isEmpty());
}

void tst_LockRegistry::aListThatCannotBeOpenedFailsEverything()
{
    QVERIFY(QDir(m_application->path()).mkdir(QStringLiteral("llf")));
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    QVERIFY(!ReloadLockedFiles());
    QCOMPARE(ToggleLock(a), 99);
    QVERIFY(!sharedLockHeld(a));
    QVERIFY(ReadLockStatuses().isEmpty());
    CompactLockList();
    QVERIFY(QFileInfo(LockListPath()).isDir());

    // Nor a FIFO in its place, which would keep every call waiting.
    QVERIFY(QDir(m_application->path()).rmdir(QStringLiteral("llf")));
    QCOMPARE(::mkfifo(QFile::encodeName(LockListPath()).constData(), 0600), 0);
    QVERIFY(!ReloadLockedFiles());
    QCOMPARE(ToggleLock(a), 99);
    QVERIFY(QFile::remove(LockListPath()));

    // Nor a link in its place: the file it names is neither read nor written.
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    QCOMPARE(ToggleLock(b), 0);
    const QByteArray other = makeFile(QStringLiteral("other.txt"));
    QVERIFY(QFile::remove(LockListPath()));
    QVERIFY(QFile::link(QFile::decodeName(other), LockListPath()));
    QCOMPARE(ToggleLock(a), 99);
    QCOMPARE(ToggleLock(b), 99);
    CompactLockList();
    QVERIFY(!ReloadLockedFiles());
    QFile named(QFile::decodeName(other));
    QVERIFY(named.open(QIODevice::ReadOnly));
    QCOMPARE(named.readAll(), QByteArray("content of other.txt"));

    // Nor a list whose folder is no folder.
    const QString fifo = m_files->filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    setApplicationFolder(fifo);
    QVERIFY(!ReloadLockedFiles());
    QCOMPARE(ToggleLock(a), 99);
    CompactLockList();
}

void tst_LockRegistry::statusesAreSortedByBytesEachPathOnce()
{
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray upper = makeFile(QStringLiteral("Z.txt"));
    writeList(b + '\n' + a + '\n' + b + '\n' + upper + '\n' + b + '\n');
    const LockStatuses statuses = ReadLockStatuses();
    QCOMPARE(statuses.keys(), QList<QByteArray>({ upper, a, b }));
}

void tst_LockRegistry::runningOutOfDescriptorsIsAnOrdinaryFailure()
{
    QList<QByteArray> paths;
    QByteArray content;
    for (int index = 0; index < 40; ++index) {
        paths.append(makeFile(QStringLiteral("file-%1.txt").arg(index, 2, 10, QLatin1Char('0'))));
        content += paths.last() + '\n';
    }
    writeList(content);
    const QByteArray extra = makeFile(QStringLiteral("extra.txt"));
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const qsizetype inUse
        = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size();
    struct rlimit scarce = saved;
    scarce.rlim_cur = rlim_t(inUse + 10);
    QCOMPARE(::setrlimit(RLIMIT_NOFILE, &scarce), 0);
    const bool reloaded = ReloadLockedFiles();
    const int extraResult = ToggleLock(extra);
    const LockStatuses statuses = ReadLockStatuses();
    ::setrlimit(RLIMIT_NOFILE, &saved);

    QVERIFY(reloaded);
    QCOMPARE(extraResult, 99);
    QCOMPARE(list(), content);
    // The first files got the descriptors; the others wait for a later start.
    QCOMPARE(statuses.value(paths.first()), int(StatusLocked));
    QCOMPARE(statuses.value(paths.last()), int(StatusNotHeld));
    QCOMPARE(statuses.size(), paths.size());
}

void tst_LockRegistry::theBlockIsTheUsersOwn()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(published(), a + '\n');
    QVERIFY(LockListNativeKey().endsWith(QLatin1Char('-') + QString::number(::getuid())));
    // The machine-wide name stays free for every other user's keycrate.
    QSharedMemory machineWide(QStringLiteral("mySharedMemory"));
    QVERIFY(!machineWide.attach(QSharedMemory::ReadOnly));
}

void tst_LockRegistry::onlyRegularFilesAreOpenedAndWithoutWaiting()
{
    const QByteArray fifo = QFile::encodeName(m_files->filePath(QStringLiteral("fifo")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    // A FIFO named on a message, or put in place of a file after its check,
    // must neither block nor count as locked.
    for (const QByteArray &path :
         { fifo, QByteArray("/dev/null"), QFile::encodeName(m_files->path()) })
        QCOMPARE(ToggleHandedOver(path), 99);
    QVERIFY2(m_boxes.isEmpty(), "what cannot be opened as a file fails silently");
    QCOMPARE(LockFile(fifo), 99);
    QVERIFY(ReadLockStatuses().isEmpty());

    // A listed file replaced by a FIFO or a folder is skipped at the next
    // start, and so is a name a zero byte would cut short to another file's;
    // a path listed twice is published twice.
    const QByteArray cut = a + QByteArray("\0.old", 5);
    writeList(fifo + '\n' + QFile::encodeName(m_files->path()) + '\n' + cut + '\n' + a + '\n' + a
              + '\n');
    QVERIFY(ReloadLockedFiles());
    QCOMPARE(published(), a + '\n' + a + '\n');
    QCOMPARE(ReadLockStatuses().value(cut), int(StatusInvalid));
}

void tst_LockRegistry::aNameWithALineFeedIsRefused()
{
    const QByteArray odd = makeFile(QStringLiteral("line\nfeed.txt"));
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    QCOMPARE(ToggleLock(a), 0);
    QCOMPARE(ToggleHandedOver(odd), 99);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, QStringLiteral("Error locking/unlocking file!"));
    QCOMPARE(ToggleLock(odd), 99);
    QCOMPARE(list(), a + '\n');
    QCOMPARE(published(), a + '\n');
    QCOMPARE(ReadLockStatuses().keys(), QList<QByteArray>({ a }));
}

void tst_LockRegistry::aDropWhoseListCannotBeOpenedChangesNothing()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray gone = makeFile(QStringLiteral("gone.txt"));
    writeList(a + '\n' + gone + '\n');
    QVERIFY(ReloadLockedFiles());
    const QByteArray before = published();
    QVERIFY(QFile::remove(QFile::decodeName(gone)));
    QVERIFY(QFile::rename(LockListPath(), LockListPath() + QStringLiteral(".away")));
    QVERIFY(QDir(m_application->path()).mkdir(QStringLiteral("llf")));

    QCOMPARE(ToggleLock(gone), 99);
    QCOMPARE(published(), before);
    QVERIFY(sharedLockHeld(a));
}

QTEST_MAIN(tst_LockRegistry)
#include "tst_LockRegistry.moc"
