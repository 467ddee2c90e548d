#include "CurrentUser.h"
#include "PrivateFiles.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <sys/stat.h>

using namespace Quorvane;

namespace {

class RecordingUser : public QuorvaneUser
{
public:
    void OnFinished(int, int) override { }
    void OnMessage(const char *text) override { messages << QByteArray(text); }
    void OnProgress(int done, int total) override { progress << qMakePair(done, total); }

    QList<QByteArray> messages;
    QList<QPair<int, int>> progress;
};

int modeOf(const QString &path)
{
    struct stat info
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class SettingsAndUserTest : public QObject
{
    Q_OBJECT

private slots:
    void firstWriteCreatesPrivateFileAndFolder();
    void dataFolderFollowsTheLatestWrite();
    void aWriteThatDoesNotReachTheFileFails();
    void progressFitsAnInt();
    void reportsNeedAUser();
    void readsRegularFilesWhole();
};

void SettingsAndUserTest::firstWriteCreatesPrivateFileAndFolder()
{
    // Whatever the umask, and for every folder made on the way.
    const mode_t saved = ::umask(0);
    SettingsStore store;
    const QString file = store.fileName();
    const QString folder = QFileInfo(file).absolutePath();
    const QString above = QFileInfo(folder).absolutePath();
    QVERIFY(!QFile::exists(folder));
    QVERIFY(QDir(above).removeRecursively());

    QCOMPARE(store.writeCredentials("user", "secret"), 0);
    ::umask(saved);
    QCOMPARE(modeOf(file), 0600);
    QCOMPARE(modeOf(folder), 0700);
    QCOMPARE(modeOf(above), 0700);
    QCOMPARE(SettingsStore().readPassword(), QByteArray("secret"));
}

void SettingsAndUserTest::dataFolderFollowsTheLatestWrite()
{
    SettingsStore longLived;
    QCOMPARE(longLived.writeDataPath("/first"), 0);
    QCOMPARE(dataFolder(), QByteArray("/first"));
    QCOMPARE(longLived.writeDataPath("/second/\xc3\xa9"), 0);
    QCOMPARE(dataFolder(), QByteArray("/second/\xc3\xa9"));
}

void SettingsAndUserTest::aWriteThatDoesNotReachTheFileFails()
{
    // A folder where the file belongs stops even root.
    SettingsStore store;
    const QString file = store.fileName();
    QFile::remove(file);
    QVERIFY(QDir().mkpath(file));
    QCOMPARE(store.writeCredentials("user", "secret"), 99);
    QCOMPARE(store.writeInt(SettingsStore::RefreshDays, 3), 99);
    QCOMPARE(store.writeDataPath("/data"), 99);
    // Once the file can be written, so can the same store.
    QVERIFY(QDir(file).removeRecursively());
    QCOMPARE(store.writeInt(SettingsStore::RefreshDays, 4), 0);
    QCOMPARE(SettingsStore().readInt(SettingsStore::RefreshDays), 4);
}

void SettingsAndUserTest::progressFitsAnInt()
{
    RecordingUser user;
    setCurrentUser(&user);
    const qint64 giga = 1000 * 1000 * 1000;
    reportProgress(1500, 3000);
    reportProgress(3 * giga, 6 * giga);
    reportProgress(5 * giga, -1); // total unknown
    setCurrentUser(nullptr);

    QCOMPARE(user.progress.size(), 3);
    QCOMPARE(user.progress[0], qMakePair(1500, 3000));
    const auto [done, total] = user.progress[1];
    QVERIFY(total > 0 && total <= std::numeric_limits<int>::max());
    QCOMPARE(qint64(done) * 2, qint64(total));
    QVERIFY(user.progress[2].first > 0);
    QCOMPARE(user.progress[2].second, -1);
}

void SettingsAndUserTest::reportsNeedAUser()
{
    setCurrentUser(nullptr);
    reportMessage("nobody hears this");
    reportProgress(1, 2);

    RecordingUser user;
    setCurrentUser(&user);
    reportMessage(QString::fromUtf8("Uploading event \"R\xc3\xa9sum\xc3\xa9\"..."));
    setCurrentUser(nullptr);
    QCOMPARE(user.messages, QList<QByteArray>({ "Uploading event \"R\xc3\xa9sum\xc3\xa9\"..." }));
}

void SettingsAndUserTest::readsRegularFilesWhole()
{
    QTemporaryDir dir;
    const QString empty = dir.filePath(QStringLiteral("empty.txt"));
    const QString text = dir.filePath(QStringLiteral("text.txt"));
    QFile(empty).open(QIODevice::WriteOnly);
    QFile file(text);
    QVERIFY(file.open(QIODevice::WriteOnly));
    const QByteArray bytes = QByteArray(70000, 'x') + QByteArray("\0end\n", 5);
    file.write(bytes);
    file.close();

    QByteArray content = "stale";
    QVERIFY(PrivateFiles::readWhole(empty, &content));
    QCOMPARE(content, QByteArray(""));
    QVERIFY(PrivateFiles::readWhole(text, &content));
    QCOMPARE(content, bytes);
    // A size of 0 that is not the end: read on until the file says so.
    QVERIFY(PrivateFiles::readWhole(QStringLiteral("/proc/self/status"), &content));
    QVERIFY(content.contains("\nPid:") && content.endsWith('\n'));
    QVERIFY(PrivateFiles::readWhole(text, nullptr));

    // Only regular files, and a FIFO without waiting for a writer.
    const QString fifo = dir.filePath(QStringLiteral("fifo.txt"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    for (const QString &other : { fifo, dir.path(), dir.filePath(QStringLiteral("missing.txt")) }) {
        QVERIFY2(!PrivateFiles::readWhole(other, &content), qPrintable(other));
        QVERIFY2(!PrivateFiles::readWhole(other, nullptr), qPrintable(other));
    }
}

QTEST_GUILESS_MAIN(SettingsAndUserTest)
#include "tst_SettingsAndUser.moc"
