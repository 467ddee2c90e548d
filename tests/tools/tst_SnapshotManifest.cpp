#include "FetchNote.h"
#include "SnapshotContent.h"
#include "SnapshotManifest.h"
#include "SnapshotRestore.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string Sha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string manifestWith(const std::vector<std::string> &entries)
{
    std::string text = "quorvane-snapshot 1\nhost h\ncreated 5\nroot /home/u/docs\n"
                       "D 0755 0 1.000000000 1 - - docs\n";
    for (const std::string &entry : entries)
        text += entry + "\n";
    return text + "end " + std::to_string(entries.size() + 1) + "\n";
}

// Every event's bytes are the one file named.
class OneFile : public SnapshotContent
{
public:
    explicit OneFile(std::string file)
        : m_file(std::move(file))
    {
    }
    std::string fileOf(const std::string &) const override { return m_file; }

private:
    std::string m_file;
};

} // namespace

class tst_SnapshotManifest : public QObject
{
    Q_OBJECT

private slots:
    void writesAndReadsBackEveryKindOfEntry();
    void refusesHostileEntriesOneByOne();
    void refusesWhatIsNoWholeManifest();
    void plantedFifosAndLinksAreRefusedNotWaitedOn();
};

void tst_SnapshotManifest::writesAndReadsBackEveryKindOfEntry()
{
    SnapshotManifest manifest;
    manifest.host = "box one";
    manifest.created = 1765148700;
    manifest.roots = { "/home/u/my docs" };
    using Type = SnapshotManifest::Type;
    manifest.entries = {
        { Type::Folder, "my docs", 0755, 0, 10, 1, 7, "", "", -1, "" },
        { Type::File, "my docs/100%\n\xff.txt", 0640, 3, 11, 999999999, 8, Sha, "id-1", -1, "" },
        { Type::File, "my docs/packed", 0600, 4, 11, 0, 10, Sha, "id-2", 4096, "" },
        { Type::Link, "my docs/link", 0777, 9, 12, 0, 9, "", "", -1, "../x y" },
    };
    const std::string text = manifest.write();
    QVERIFY(text.find('\xff') == std::string::npos);
    SnapshotManifest read;
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    QVERIFY2(SnapshotManifest::parse(text, &read, &refused, &error), error.c_str());
    QVERIFY(refused.empty());
    QCOMPARE(read.host, manifest.host);
    QCOMPARE(read.created, manifest.created);
    QCOMPARE(read.roots, manifest.roots);
    QCOMPARE(read.entries.size(), manifest.entries.size());
    for (std::size_t i = 0; i < read.entries.size(); ++i) {
        const SnapshotManifest::Entry &a = read.entries[i], &b = manifest.entries[i];
        QVERIFY(a.type == b.type && a.path == b.path && a.mode == b.mode && a.size == b.size
                && a.mtimeSeconds == b.mtimeSeconds && a.mtimeNanoseconds == b.mtimeNanoseconds
                && a.inode == b.inode && a.sha256 == b.sha256 && a.event == b.event
                && a.offset == b.offset && a.target == b.target);
    }
}

void tst_SnapshotManifest::refusesHostileEntriesOneByOne()
{
    const std::string file = "F 0644 0 1.000000000 2 " + Sha + " ev ";
    SnapshotManifest read;
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    const std::string longName(256, 'n');
    QVERIFY2(
        SnapshotManifest::parse(
            manifestWith({ file + "docs/ok", file + "../x", file + "/etc/passwd", file + "docs/..",
                           file + "docs/a%00b", file + "docs//b", file + "docs/" + longName,
                           file + "other/x", "D 0755 0 1.000000000 1 - - docs/%2E%2E",
                           file + "docs/%2E%2E/escaped", file + "docs/ok",
                           "F 0644 0 1.000000000 2 nohash ev docs/h",
                           "F 0644 0 1.000000000 2 " + Sha + " a/b docs/e",
                           "L 0777 1 1.000000000 3 - - docs/l %00" }),
            &read, &refused, &error),
        error.c_str());
    QCOMPARE(read.entries.size(), std::size_t(2));
    QCOMPARE(read.entries.back().path, std::string("docs/ok"));
    QCOMPARE(refused.size(), std::size_t(13));
    QCOMPARE(refused[0].reason, std::string("a path leading up (\"..\")"));
    QCOMPARE(refused[1].reason, std::string("an absolute path"));
    QCOMPARE(refused[3].reason, std::string("a path holding a NUL byte"));
    QCOMPARE(refused[6].reason, std::string("its folder is not in the snapshot"));
    QCOMPARE(refused[9].reason, std::string("a path listed twice"));
}

void tst_SnapshotManifest::refusesWhatIsNoWholeManifest()
{
    const std::string whole = manifestWith({});
    SnapshotManifest read;
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    QVERIFY(SnapshotManifest::parse(whole, &read, &refused, &error));
    for (const std::string &broken : std::vector<std::string> {
             std::string(), whole.substr(0, whole.size() - 1), whole.substr(0, whole.rfind("end")),
             "quorvane-snapshot 2\nend 0\n", whole + "D 0755 0 1.000000000 1 - - docs/x\n",
             "quorvane-snapshot 1\nroot relative\nend 0\n",
             "quorvane-snapshot 1\nroot /a\nend 1\n" }) {
        QVERIFY2(!SnapshotManifest::parse(broken, &read, &refused, &error), broken.c_str());
        QVERIFY(!error.empty());
    }
    // The error reaches a terminal: what the server wrote is not echoed raw.
    QVERIFY(!SnapshotManifest::parse("quorvane-snapshot 1\nroot \x1b]0;owned\x07\nend 0\n", &read,
                                     &refused, &error));
    QVERIFY2(error.find_first_of("\x1b\x07") == std::string::npos, error.c_str());
}

void tst_SnapshotManifest::plantedFifosAndLinksAreRefusedNotWaitedOn()
{
    QTemporaryDir store;
    const std::string at = store.path().toStdString() + "/";
    const std::string id = "0123456789abcdef0123456789abcdef0123";
    // This run's note a FIFO; of two dead runs, one left a FIFO, one a link
    // to a file of ids that are no business of ours, and one a real note.
    const std::string pid = std::to_string(::getpid());
    QCOMPARE(::mkfifo((at + ".quorvane-fetched-" + pid + "-0").c_str(), 0600), 0);
    QCOMPARE(::mkfifo((at + ".quorvane-fetched-2147483001-0").c_str(), 0600), 0);
    QFile other(store.filePath("other"));
    QVERIFY(other.open(QIODevice::WriteOnly) && other.write("not-ours\n") > 0);
    other.close();
    QCOMPARE(::symlink("other", (at + ".quorvane-fetched-2147483002-0").c_str()), 0);
    QFile left(store.filePath(".quorvane-fetched-2147483003-0"));
    QVERIFY(left.open(QIODevice::WriteOnly)
            && left.write(QByteArray::fromStdString(id + "\n" + std::string(100000, 'x') + "\n"))
                > 0);
    left.close();
    FetchNote note(store.path().toStdString());
    const std::string problem = note.add({ id });
    QVERIFY2(problem.find("not a regular file") != std::string::npos, problem.c_str());
    QCOMPARE(note.adoptLeftovers(), std::vector<std::string> { id });
    note.remove();
    QVERIFY(other.exists());

    // A FIFO as a content's file fails that file alone.
    QTemporaryDir target;
    const int root = ::open(target.path().toLocal8Bit().constData(), O_RDONLY | O_DIRECTORY);
    const std::string fifo = at + "content";
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const OneFile content(fifo);
    std::string reason;
    SnapshotRestore restore(root, content,
                            [&](const std::string &, const std::string &why) { reason = why; });
    const SnapshotManifest::Entry entry
        = { SnapshotManifest::Type::File, "f", 0644, 0, 1, 0, 2, Sha, "ev", -1, "" };
    QCOMPARE(restore.restore({ &entry }), 0);
    ::close(root);
    QVERIFY2(reason.find("not a regular file") != std::string::npos, reason.c_str());
}

QTEST_APPLESS_MAIN(tst_SnapshotManifest)
#include "tst_SnapshotManifest.moc"
