// Snapshots end to end: quorvane backs a tree up twice, restores both, lists
// a file's versions and forgets, against our reference server.
#include "FileSizeLimit.h"
#include "QuorvaneRun.h"
#include "ReferenceServer.h"
#include "SnapshotManifest.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Run = QuorvaneRun;

Run quorvane(const QStringList &arguments)
{
    return QuorvaneRun::run(arguments);
}

// What a restore must bring back of each entry: type, mode, time, bytes or
// link target.
struct Node
{
    char type;
    unsigned mode;
    qint64 mtime;
    QByteArray data;
    bool operator==(const Node &o) const
    {
        return type == o.type && mode == o.mode && mtime == o.mtime && data == o.data;
    }
};
using Tree = QMap<QByteArray, Node>;

void scan(const QByteArray &path, const QByteArray &relative, Tree *tree)
{
    struct stat info;
    if (::lstat(path, &info) != 0)
        return;
    Node node { S_ISDIR(info.st_mode)       ? 'D'
                    : S_ISLNK(info.st_mode) ? 'L'
                                            : 'F',
                unsigned(info.st_mode & 07777),
                qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
                {} };
    if (node.type == 'L') {
        char target[4096];
        const ssize_t length = ::readlink(path, target, sizeof target);
        node.data = QByteArray(target, int(length));
    } else if (node.type == 'F') {
        QFile file(QFile::decodeName(path));
        file.open(QIODevice::ReadOnly);
        node.data = file.readAll();
    } else if (DIR *listing = ::opendir(path)) {
        while (const dirent *entry = ::readdir(listing)) {
            const QByteArray name = entry->d_name;
            if (name != "." && name != "..")
                scan(path + "/" + name, relative + "/" + name, tree);
        }
        ::closedir(listing);
    }
    tree->insert(relative, node);
}

Tree treeOf(const QString &root, const QByteArray &name)
{
    Tree tree;
    scan(QFile::encodeName(root), name, &tree);
    return tree;
}

QByteArray snapshotIdOf(const Run &run)
{
    const int at = run.out.indexOf("snapshot ");
    return at < 0 ? QByteArray() : run.out.mid(at + 9, 36);
}

} // namespace

#define RUN_OK(run) QVERIFY2((run).exitCode == 0, (run).err.constData())

class tst_QuorvaneSnapshots : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void backUpChangeRestoreAndForget();
    void hostileManifestWritesNothingOutside();
    void interruptedBackupLeavesNoSnapshotAndIsReused();
    void duplicatesOfAPackInFlightRestore();
    void wholeFilesMovedOrCopiedIntoPlace();
    void killedRestoreLeavesNothingInTheWay();
    void killedBackupsLeaveNoScratchAndTheNextCompletes();

private:
    QString write(const QString &relative, const QByteArray &content, qint64 mtime = 0);
    QSet<QByteArray> serverEvents() const;
    // Sizes of the files the server keeps, by name.
    QMap<QString, qint64> storedFiles() const;
    SnapshotManifest manifestOf(const QByteArray &id);
    // Uploads the server logged up to now: a read asked for now is logged
    // after every request before it.
    int uploadsLogged();

    QTemporaryDir m_files;
    std::unique_ptr<ReferenceServer> m_server;
};

void tst_QuorvaneSnapshots::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    RUN_OK(quorvane({ "config", "server_url", m_server->url() }));
    RUN_OK(quorvane({ "config", "user", ReferenceServer::User }));
    QProcess password;
    password.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane"),
                   { "config", "--password-stdin" });
    password.write(QByteArray(ReferenceServer::Password) + "\n");
    password.closeWriteChannel();
    QVERIFY(password.waitForFinished() && password.exitCode() == 0);
}

QString tst_QuorvaneSnapshots::write(const QString &relative, const QByteArray &content,
                                     qint64 mtime)
{
    const QString path = m_files.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    file.close();
    if (mtime) {
        const struct timespec times[2] = { { mtime, 0 }, { mtime, 0 } };
        ::utimensat(AT_FDCWD, QFile::encodeName(path), times, 0);
    }
    return path;
}

QSet<QByteArray> tst_QuorvaneSnapshots::serverEvents() const
{
    QSet<QByteArray> ids;
    for (const ReferenceServer::StoredEvent &event : m_server->events())
        ids.insert(event.id);
    return ids;
}

QMap<QString, qint64> tst_QuorvaneSnapshots::storedFiles() const
{
    QMap<QString, qint64> files;
    for (const QFileInfo &file : QDir(m_server->dataFolder() + "/files").entryInfoList(QDir::Files))
        files.insert(file.fileName(), file.size());
    return files;
}

int tst_QuorvaneSnapshots::uploadsLogged()
{
    const int reads = int(m_server->process().log().count("/quorvget"));
    if (quorvane({ "snapshots" }).exitCode != 0)
        return -1;
    const QDeadlineTimer deadline(20000);
    while (m_server->process().log().count("/quorvget") <= reads && !deadline.hasExpired())
        QTest::qWait(20);
    return m_server->requests("quorvupload");
}

SnapshotManifest tst_QuorvaneSnapshots::manifestOf(const QByteArray &id)
{
    SnapshotManifest manifest;
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    if (!SnapshotManifest::parse(m_server->download(id).toStdString(), &manifest, &refused, &error)
        || !refused.empty())
        qWarning("manifest %s: %s", id.constData(), error.c_str());
    return manifest;
}

void tst_QuorvaneSnapshots::backUpChangeRestoreAndForget()
{
    const qint64 past = 1700000000;
    write("tree/top/notes.txt", "top notes", past);
    write("tree/deep/er/notes.txt", "deep notes", past);
    write("tree/empty", {}, past);
    QByteArray big(3 << 20, Qt::Uninitialized);
    for (int i = 0; i < big.size(); ++i)
        big[i] = char(quint32(i) * 7919u >> 5);
    write("tree/big.bin", big, past);
    // Larger than a pack takes, and named like a field of the local store.
    write("tree/deep/name.txt", big.left(512 << 10), past);
    for (const char *name : { "a", "b", "c", "d" })
        write(QStringLiteral("tree/deep/er/%1.txt").arg(name), QByteArray(100, name[0]), past);
    const QByteArray tree = QFile::encodeName(m_files.filePath("tree"));
    QCOMPARE(::symlink("top/notes.txt", tree + "/link"), 0);
    QCOMPARE(::chmod(tree + "/deep/er/a.txt", 0600), 0);
    QCOMPARE(::chmod(tree + "/deep", 0750), 0);
    const Tree first = treeOf(m_files.filePath("tree"), "tree");

    const Run backup1 = quorvane({ "backup", m_files.filePath("tree") });
    RUN_OK(backup1);
    QVERIFY2(backup1.out.contains("sent 9, unchanged 0, failed 0"), backup1.out.constData());
    const QByteArray snapshot1 = snapshotIdOf(backup1);

    // Three changed (one keeps its size and only its time tells), one gone.
    write("tree/top/notes.txt", "top notes, second edition");
    write("tree/deep/er/b.txt", QByteArray(100, 'B'), past + 60);
    write("tree/deep/name.txt", big.mid(1, 512 << 10));
    QVERIFY(QFile::remove(m_files.filePath("tree/deep/er/d.txt")));
    const Tree second = treeOf(m_files.filePath("tree"), "tree");
    const QMap<QString, qint64> storedBefore = storedFiles();
    const int uploadsBefore = uploadsLogged();

    const Run backup2 = quorvane({ "backup", m_files.filePath("tree") });
    RUN_OK(backup2);
    QVERIFY2(backup2.out.contains("sent 3, unchanged 5, failed 0"), backup2.out.constData());
    const QByteArray snapshot2 = snapshotIdOf(backup2);
    // Only the changed files and the manifest reached the server.
    // The small ones together: a pack, the larger file, the manifest.
    QCOMPARE(uploadsLogged() - uploadsBefore, 3);
    qint64 received = 0;
    const QMap<QString, qint64> storedAfter = storedFiles();
    for (auto file = storedAfter.begin(); file != storedAfter.end(); ++file)
        if (!storedBefore.contains(file.key()))
            received += file.value();
    QCOMPARE(received, qint64(25 + 100 + (512 << 10) + m_server->download(snapshot2).size()));

    const Run listed = quorvane({ "snapshots", "--json" });
    RUN_OK(listed);
    QCOMPARE(listed.out.count('\n'), 2);
    QVERIFY(listed.out.indexOf(snapshot2) < listed.out.indexOf(snapshot1));

    const QString into1 = m_files.filePath("r1"), into2 = m_files.filePath("r2");
    RUN_OK(quorvane({ "restore", snapshot1, "--to", into1 }));
    RUN_OK(quorvane({ "restore", "latest", "--to", into2 }));
    QVERIFY(treeOf(into1 + "/tree", "tree") == first);
    QVERIFY(treeOf(into2 + "/tree", "tree") == second);
    // Nothing is overwritten unless asked, and one path alone comes back.
    const Run again = quorvane({ "restore", "--to", into2 });
    QCOMPARE(again.exitCode, 99);
    QVERIFY(again.err.contains("not overwritten"));
    RUN_OK(quorvane({ "restore", snapshot1, "--to", into2, "--overwrite",
                      m_files.filePath("tree/top/notes.txt") }));
    // Another user's folder gets nothing of ours.
    if (::geteuid() == 0) {
        const QString theirs = m_files.filePath("theirs");
        QVERIFY(QDir().mkdir(theirs)
                && ::chown(QFile::encodeName(theirs).constData(), 65534, 65534) == 0);
        const Run refused = quorvane({ "restore", "--to", theirs });
        QCOMPARE(refused.exitCode, 99);
        QVERIFY2(refused.err.contains("another user"), refused.err.constData());
        QVERIFY(QDir(theirs).isEmpty());
        // Nor one they made inside a folder of ours.
        const QString ours = m_files.filePath("ours");
        QVERIFY(QDir().mkpath(ours + "/tree/deep")
                && ::chown(QFile::encodeName(ours + "/tree").constData(), 65534, 65534) == 0);
        const Run inside = quorvane({ "restore", "--to", ours });
        QCOMPARE(inside.exitCode, 99);
        QVERIFY2(inside.err.contains("its folder tree: it belongs to another user"),
                 inside.err.constData());
        QCOMPARE(QDir(ours + "/tree").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList { "deep" });
        QVERIFY(QDir(ours + "/tree/deep").isEmpty());
    }
    QCOMPARE(treeOf(into2 + "/tree/top/notes.txt", "n").value("n").data, QByteArray("top notes"));

    const Run versions = quorvane({ "versions", m_files.filePath("tree/top/notes.txt") });
    RUN_OK(versions);
    QCOMPARE(versions.out.count('\n'), 2);
    QVERIFY(versions.out.indexOf(snapshot2) < versions.out.indexOf(snapshot1));
    RUN_OK(quorvane({ "check", "--read-data" }));

    // Forgetting the first leaves its snapshot's own contents no more, and
    // every event the second names.
    QSet<QByteArray> onlyFirst { snapshot1 }, named { snapshot2 };
    for (const SnapshotManifest::Entry &entry : manifestOf(snapshot2).entries)
        named.insert(QByteArray::fromStdString(entry.event));
    for (const SnapshotManifest::Entry &entry : manifestOf(snapshot1).entries)
        if (!named.contains(QByteArray::fromStdString(entry.event)))
            onlyFirst.insert(QByteArray::fromStdString(entry.event));
    named.remove({});
    onlyFirst.remove({});
    // The first snapshot and the larger file's old content: the pack of its
    // small files still holds some that the second names.
    QCOMPARE(onlyFirst.size(), 2);
    const QSet<QByteArray> before = serverEvents();
    QCOMPARE(quorvane({ "forget" }).exitCode, 1);
    // Both of one day: the newest stands for it.
    const Run dryRun = quorvane({ "forget", "--keep-daily", "1", "--dry-run" });
    RUN_OK(dryRun);
    QVERIFY2(dryRun.out.contains("would remove snapshot " + snapshot1)
                 && !dryRun.out.contains(snapshot2),
             dryRun.out.constData());
    QCOMPARE(serverEvents(), before);
    RUN_OK(quorvane({ "forget", "--keep-last", "1" }));
    QCOMPARE(serverEvents(), before - onlyFirst);
    QVERIFY(serverEvents().contains(named));
    RUN_OK(quorvane({ "check" }));
}

void tst_QuorvaneSnapshots::hostileManifestWritesNothingOutside()
{
    const QByteArray content = "kept";
    const QByteArray sha = QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
    const QByteArray contentId = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QVERIFY(m_server->upload(contentId, "File [kept]", "kept", content, now, "sha256:" + sha));
    // Bytes that are not what the manifest says they are.
    const QByteArray forgedId = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    QVERIFY(m_server->upload(forgedId, "File [kept]", "kept", "evil", now, "sha256:" + sha));
    const QByteArray victim = QFile::encodeName(write("outside/victim", "untouched"));
    const QByteArray file = "F 0644 4 1.000000000 1 " + sha + " " + contentId + " ";
    const QByteArray manifest = "quorvane-snapshot 1\nhost evil\ncreated 1\nroot /evil\n"
                                "D 0755 0 1.000000000 1 - - evil\n"
        + file + "evil/kept\n" + file + "../x\n" + file + victim + "\n" + file + "evil/a%00b\n"
        + "L 0777 2 1.000000000 1 - - evil/up ..\n" + file + "evil/up/escaped\n"
        + "D 0755 0 1.000000000 1 - - evil/linked\n" + file + "evil/linked/x\n"
        + "F 0644 4 1.000000000 1 " + sha + " " + forgedId + " evil/forged\n" + "end 10\n";
    const QByteArray snapshotId = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    QVERIFY(m_server->upload(snapshotId, "Snapshot [evil: /evil] 2026-12-08 00:00", "evil.qvs",
                             manifest, now, "quorvane-snapshot 1 roots:0 created:1"));

    // A link planted in DIR where the manifest has a folder is not followed.
    const QString into = m_files.filePath("hostile/inner");
    QVERIFY(QDir().mkpath(into + "/evil"));
    QCOMPARE(::symlink(QFile::encodeName(m_files.filePath("outside")),
                       QFile::encodeName(into + "/evil/linked")),
             0);
    const Tree outside = treeOf(m_files.filePath("outside"), "o");
    const Run run = quorvane({ "restore", snapshotId, "--to", into, "--overwrite" });
    QCOMPARE(run.exitCode, 99);
    for (const char *reason : { "an absolute path", "leading up", "NUL", "not in the snapshot",
                                "evil/forged: its content does not match its SHA-256" })
        QVERIFY2(run.err.contains(reason), run.err.constData());
    QCOMPARE(treeOf(m_files.filePath("outside"), "o"), outside);
    QCOMPARE(QDir(m_files.filePath("hostile"))
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
             QStringList { "inner" });
    QCOMPARE(treeOf(into + "/evil/kept", "k").value("k").data, content);
    QCOMPARE(QDir(into + "/evil")
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden),
             QStringList({ "kept", "linked", "up" }));
    QCOMPARE(treeOf(into + "/evil/up", "u").value("u").data, QByteArray(".."));
}

void tst_QuorvaneSnapshots::interruptedBackupLeavesNoSnapshotAndIsReused()
{
    // Too large to be packed: each is an upload of its own.
    write("itree/a.bin", QByteArray(300 << 10, 'a'));
    write("itree/z.bin", QByteArray(4 << 20, 'z'));
    const int snapshots = int(quorvane({ "snapshots" }).out.count('\n'));
    // Slow enough that the second file is still on its way.
    RUN_OK(quorvane({ "config", "upload_limit_kbps", "8000" }));
    QProcess process;
    process.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane"),
                  { "backup", m_files.filePath("itree") });
    QByteArray out;
    const QDeadlineTimer deadline(60000);
    while (!out.contains("a.bin\n") && !deadline.hasExpired()
           && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(100);
        out += process.readAllStandardOutput();
    }
    QVERIFY2(out.contains("a.bin\n"), out.constData());
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(60000));
    RUN_OK(quorvane({ "config", "upload_limit_kbps", "0" }));
    QCOMPARE(process.exitCode(), 101);
    QVERIFY(process.readAllStandardError().contains("no snapshot was recorded"));
    QCOMPARE(int(quorvane({ "snapshots" }).out.count('\n')), snapshots);

    const Run again = quorvane({ "backup", m_files.filePath("itree") });
    RUN_OK(again);
    QVERIFY2(again.out.contains("sent 1, unchanged 1, failed 0"), again.out.constData());
    QCOMPARE(int(quorvane({ "snapshots" }).out.count('\n')), snapshots + 1);
}

void tst_QuorvaneSnapshots::duplicatesOfAPackInFlightRestore()
{
    // Three packs: file 66 opens the second while the first is being sent
    // and holds the first file's bytes; the last holds those of file 70,
    // which was filled while the first pack was sent.
    for (int i = 0; i <= 140; ++i) {
        const int source = i == 66 ? 0 : i == 140 ? 70 : i;
        QByteArray bytes(250 << 10, char('a' + source % 26));
        bytes.replace(0, 8, QByteArray::number(source).rightJustified(8, '0'));
        write(QStringLiteral("ptree/%1/f%2").arg(i / 50).arg(i), bytes);
    }
    const Tree tree = treeOf(m_files.filePath("ptree"), "ptree");
    const Run backup = quorvane({ "backup", m_files.filePath("ptree") });
    RUN_OK(backup);
    QVERIFY2(backup.out.contains("sent 139, unchanged 2, failed 0"), backup.out.constData());
    const QString into = m_files.filePath("pr");
    RUN_OK(quorvane({ "restore", snapshotIdOf(backup), "--to", into }));
    QVERIFY(treeOf(into + "/ptree", "ptree") == tree);
}

void tst_QuorvaneSnapshots::wholeFilesMovedOrCopiedIntoPlace()
{
    // Each too large for a pack; two share one content event, which the
    // first of them must not take away from the second.
    QByteArray bytes(600 << 10, 's');
    bytes.replace(0, 5, "same!");
    write("mtree/a/same", bytes, 1700000000);
    write("mtree/b/same", bytes, 1700000100);
    write("mtree/unique", QByteArray(700 << 10, 'u'), 1700000200);
    QCOMPARE(::chmod(QFile::encodeName(m_files.filePath("mtree/b/same")), 0640), 0);
    QCOMPARE(::chmod(QFile::encodeName(m_files.filePath("mtree/unique")), 0604), 0);
    const Tree tree = treeOf(m_files.filePath("mtree"), "mtree");
    const Run backup = quorvane({ "backup", m_files.filePath("mtree") });
    RUN_OK(backup);
    const QByteArray snapshot = snapshotIdOf(backup);
    std::map<std::string, std::string> events;
    for (const SnapshotManifest::Entry &entry : manifestOf(snapshot).entries)
        if (entry.type == SnapshotManifest::Type::File && entry.offset < 0)
            events[entry.path] = entry.event;
    QCOMPARE(events.size(), std::size_t(3));
    QCOMPARE(events["mtree/a/same"], events["mtree/b/same"]);

    // A disk that fills while the files are fetched: the restore fails and
    // says why, and leaves no part of a file in the target.
    Run full;
    {
        const FileSizeLimit diskFull(650 << 10);
        full = quorvane({ "restore", snapshot, "--to", m_files.filePath("full") });
    }
    QVERIFY2(full.exitCode != 0 && full.err.contains("written to disk"), full.err.constData());
    QVERIFY(QDir(m_files.filePath("full")).isEmpty());

    // Beside the local store, and on another file system where there is one.
    QStringList targets { m_files.filePath("mr") };
    QTemporaryDir elsewhere(QStringLiteral("/dev/shm/quorvane-test-XXXXXX"));
    struct stat store, other;
    if (elsewhere.isValid() && ::stat(QFile::encodeName(m_files.path()), &store) == 0
        && ::stat(QFile::encodeName(elsewhere.path()), &other) == 0 && store.st_dev != other.st_dev)
        targets << elsewhere.filePath("mr");
    for (const QString &into : std::as_const(targets)) {
        RUN_OK(quorvane({ "restore", snapshot, "--to", into }));
        QVERIFY2(treeOf(into + "/mtree", "mtree") == tree, qPrintable(into));
        QCOMPARE(QDir(into).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList { "mtree" });
    }

    // Already in the local store, so only their copies fill the disk: each
    // is told, none is left in part, and the store keeps them whole.
    QStringList held;
    for (const auto &file : events)
        held << QString::fromStdString(file.second);
    held.removeDuplicates();
    RUN_OK(quorvane(QStringList { "pull" } + held));
    const QString copyFull = m_files.filePath("copyfull");
    {
        const FileSizeLimit diskFull(300 << 10);
        full = quorvane({ "restore", snapshot, "--to", copyFull });
    }
    QCOMPARE(full.exitCode, 99);
    QCOMPARE(full.err.count("cannot be written"), 3);
    QDirIterator left(copyFull, QDir::Files | QDir::Hidden | QDir::System,
                      QDirIterator::Subdirectories);
    QVERIFY2(!left.hasNext(), qPrintable(left.next()));
    RUN_OK(quorvane({ "restore", snapshot, "--to", copyFull, "--overwrite" }));
    QVERIFY(treeOf(copyFull + "/mtree", "mtree") == tree);
}

void tst_QuorvaneSnapshots::killedRestoreLeavesNothingInTheWay()
{
    // Many packed files copied one by one, and two whole ones moved.
    for (int i = 0; i < 1500; ++i)
        write(QStringLiteral("ktree/%1/f%2").arg(i % 3).arg(i), QByteArray(1 + i % 3000, 'k'));
    write("ktree/0/big", QByteArray(300 << 10, 'b'));
    write("ktree/1/big", QByteArray(400 << 10, 'B'));
    const Tree tree = treeOf(m_files.filePath("ktree"), "ktree");
    const Run backup = quorvane({ "backup", m_files.filePath("ktree") });
    RUN_OK(backup);
    const QByteArray snapshot = snapshotIdOf(backup);

    const QString into = m_files.filePath("kr");
    QProcess killed;
    killed.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane"),
                 { "restore", snapshot, "--to", into });
    QVERIFY(killed.waitForStarted());
    const qint64 pid = killed.processId();
    const QDeadlineTimer deadline(60000);
    while (killed.state() != QProcess::NotRunning && !deadline.hasExpired()
           && QDir(into + "/ktree/2").isEmpty())
        QTest::qSleep(1);
    ::kill(pid_t(pid), SIGKILL);
    QVERIFY(killed.waitForFinished(60000));

    // Whatever it left, and temporary names as it would have left them; that
    // of a restore still running (this process) stays.
    QVERIFY(QDir().mkpath(into + "/ktree/0"));
    const QString dead = QStringLiteral("/.quorvane-restore-%1-7").arg(pid);
    const QString live = into + QStringLiteral("/.quorvane-restore-%1-0").arg(::getpid());
    for (const QString &planted : { into + dead, into + "/ktree/0" + dead, live }) {
        QFile file(planted);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("partial") == 7);
    }
    RUN_OK(quorvane({ "restore", snapshot, "--to", into, "--overwrite" }));
    QVERIFY(treeOf(into + "/ktree", "ktree") == tree);
    QCOMPARE(QDir(into).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({ QFileInfo(live).fileName(), "ktree" }));
    QVERIFY(QFile::remove(live));

    // What the killed run fetched and had not moved out left the store too.
    QSet<QString> fetched { QString::fromLatin1(snapshot) };
    for (const SnapshotManifest::Entry &entry : manifestOf(snapshot).entries)
        fetched.insert(QString::fromStdString(entry.event));
    const Run store = quorvane({ "config", "data_path" });
    RUN_OK(store);
    QDirIterator held(QString::fromUtf8(store.out.trimmed()), QDir::AllEntries | QDir::Hidden,
                      QDirIterator::Subdirectories);
    while (held.hasNext()) {
        const QString name = held.next().section('/', -1);
        QVERIFY2(!fetched.contains(name) && !name.startsWith(".quorvane-"), qPrintable(name));
    }
}

// Backups killed at random moments leave no packs or stand-ins behind in the
// temporary folder, run after run, and the next backup is whole.
void tst_QuorvaneSnapshots::killedBackupsLeaveNoScratchAndTheNextCompletes()
{
    for (int i = 0; i < 60; ++i)
        write(QStringLiteral("btree/%1/f%2").arg(i % 4).arg(i),
              QByteArray(20000 + i, 'a' + i % 26));
    write("btree/big", QByteArray(600 << 10, 'B'));
    write("btree/name.txt", "read as a field if sent as it is");
    const Tree tree = treeOf(m_files.filePath("btree"), "btree");
    const QDir scratch(QDir::tempPath());
    const auto leftovers
        = [&] { return scratch.entryList({ "quorvane-*" }, QDir::AllEntries | QDir::Hidden); };
    const QStringList before = leftovers();

    QRandomGenerator random(1208);
    for (int round = 0; round < 8; ++round) {
        QProcess killed;
        killed.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane"),
                     { "backup", m_files.filePath("btree") });
        QVERIFY(killed.waitForStarted());
        ::usleep(random.bounded(400000));
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished(60000));
    }
    const Run backup = quorvane({ "backup", m_files.filePath("btree") });
    RUN_OK(backup);
    QCOMPARE(leftovers(), before);
    // Every file checked against its SHA-256 on the way back.
    const QString into = m_files.filePath("br");
    RUN_OK(quorvane({ "restore", snapshotIdOf(backup), "--to", into }));
    QVERIFY(treeOf(into + "/btree", "btree") == tree);
}

QTEST_GUILESS_MAIN(tst_QuorvaneSnapshots)
#include "tst_QuorvaneSnapshots.moc"
