#include "FileSizeLimit.h"
#include "IQuorvane.h"
#include "InProcessKeycrate.h"
#include "LibrarySettings.h"
#include "MessageBoxes.h"
#include "MyQApplication.h"
#include "ReferenceServer.h"
#include "RestoreTab.h"
#include "SnapshotManifest.h"
#include "TheManager.h"
#include "UploadJournal.h"
#include "VirtualDesktop.h"

#include <QAction>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMap>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <QUuid>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// The Restore tab on a private X server, with the application and the real
// library against the reference server: what the window uploaded comes back.

using Platform::MessageBoxes;

namespace {

constexpr int Timeout = 120000;

VirtualDesktop &desktop()
{
    static VirtualDesktop instance;
    return instance;
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          size / qsizetype(sizeof(quint32)));
    return bytes;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace

class tst_Restore : public QObject
{
    Q_OBJECT

public:
    explicit tst_Restore(MyQApplication *application)
        : m_application(application)
        , m_window(application->mainWindow())
    {
    }

private slots:
    void init();
    void cleanup();
    void uploadsComeBackToAChosenFolderAndToTheirPlace();
    void aCopyThatFailsItsCheckIsNotLeftInPlace();
    void everyUploadOfTheWindowIsJournalled();
    void aSnapshotComesBackByteForByte();
    void aRestoreKilledMidwayIsFinished();

private:
    template<typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QTreeWidget *backups() const { return child<QTreeWidget>("restoreList"); }
    // A snapshot as quorvane backup leaves it: its files' bytes in events of
    // their own, one pack of two, and the manifest; forged.bin's bytes are not
    // what its SHA-256 says.
    void uploadSnapshot(QMap<QString, QByteArray> *files);
    QLabel *label() const { return child<QLabel>("restoreLabel"); }
    void upload(const QString &path);
    void showRestoreTab(int files);
    // Selects the row and presses the button; waits for the run's end.
    void restore(QTreeWidgetItem *row, const char *button);

    MyQApplication *m_application;
    TheManager *m_window;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QTemporaryDir> m_target;
    QList<MessageBoxes::Box> m_boxes;
    QMessageBox::StandardButton m_answer = QMessageBox::Yes;
    int m_uploads = 0;
    // The snapshot's content events, by the path of their first file.
    QMap<QString, QByteArray> m_contents;
};

void tst_Restore::init()
{
    m_boxes.clear();
    m_answer = QMessageBox::Yes;
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return box.kind == MessageBoxes::Kind::Question ? m_answer : QMessageBox::Ok;
    });
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    LibrarySettings::setServerUrl(m_server->url());
    m_files = std::make_unique<QTemporaryDir>();
    m_data = std::make_unique<QTemporaryDir>();
    m_target = std::make_unique<QTemporaryDir>();
    RestoreTab::setFolderChooser([this](QWidget *) { return m_target->path(); });
    m_application->quorvane()->setDataPath(m_data->path().toUtf8().constData());
    child<QTabWidget>("tabWidget")->setCurrentIndex(2);
    child<QLineEdit>("userEdit")->setText(QString::fromLatin1(ReferenceServer::User));
    child<QLineEdit>("passwordEdit")->setText(QString::fromLatin1(ReferenceServer::Password));
    child<QLineEdit>("serverUrlEdit")->setText(m_server->url());
    child<QRadioButton>("radioButtonAll")->setChecked(true);
    QTest::mouseClick(child<QPushButton>("saveButton"), Qt::LeftButton);
    m_window->showNormal();
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void tst_Restore::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(!child<RestoreTab>("restoreTab")->isBusy(), Timeout);
    child<QTabWidget>("tabWidget")->setCurrentIndex(1);
    child<QAction>("actionUnlock_file")->trigger();
    m_window->ResetUploadControls();
    QFile::remove(UploadJournal::filePath());
    RestoreTab::setFolderChooser({});
    MessageBoxes::setAnswerer({});
    m_server.reset();
    m_files.reset();
    m_data.reset();
    m_target.reset();
}

void tst_Restore::upload(const QString &path)
{
    // As the window's upload leaves it: the event on the server, the journal
    // line beside the lock list. Versions are a second apart.
    const QByteArray id = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
    const QByteArray name = QFileInfo(path).fileName().toUtf8();
    QVERIFY(m_server->upload(id, "File [" + name + "]", name, contentOf(path),
                             QDateTime::currentSecsSinceEpoch() - 100 + m_uploads++));
    QVERIFY(UploadJournal::record(QString::fromLatin1(id), path));
}

void tst_Restore::showRestoreTab(int files)
{
    child<QTabWidget>("tabWidget")->setCurrentIndex(3);
    QTRY_VERIFY_WITH_TIMEOUT(!child<RestoreTab>("restoreTab")->isBusy(), Timeout);
    QVERIFY2(backups()->topLevelItemCount() == files, qPrintable(label()->text()));
}

void tst_Restore::restore(QTreeWidgetItem *row, const char *button)
{
    backups()->clearSelection();
    row->setSelected(true);
    QTest::mouseClick(child<QPushButton>(button), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!child<RestoreTab>("restoreTab")->isBusy(), Timeout);
}

void tst_Restore::uploadsComeBackToAChosenFolderAndToTheirPlace()
{
    // Two files of one name from two folders, one of them in two versions.
    QVERIFY(QDir(m_files->path()).mkpath(QStringLiteral("a")));
    QVERIFY(QDir(m_files->path()).mkpath(QStringLiteral("b")));
    const QString a = m_files->filePath(QStringLiteral("a/notes.txt"));
    const QString b = m_files->filePath(QStringLiteral("b/notes.txt"));
    const QByteArray first = randomBytes(300 * 1024);
    const QByteArray second = randomBytes(200 * 1024 + 7);
    write(a, first);
    upload(a);
    write(b, "other folder");
    upload(b);
    write(a, second);
    upload(a);
    QCOMPARE(QFileInfo(UploadJournal::filePath()).permissions() & 0x0777,
             QFile::ReadUser | QFile::WriteUser);

    showRestoreTab(2);
    QTreeWidgetItem *fileA = backups()->topLevelItem(0);
    QCOMPARE(fileA->text(3), a);
    QCOMPARE(fileA->childCount(), 2);
    QCOMPARE(fileA->child(0)->text(2), QLocale().formattedDataSize(second.size()));
    QCOMPARE(fileA->child(1)->text(2), QLocale().formattedDataSize(first.size()));
    QCOMPARE(backups()->topLevelItem(1)->text(3), b);

    child<QLineEdit>("restoreSearchEdit")->setText(QStringLiteral("/b/"));
    QVERIFY(fileA->isHidden());
    QVERIFY(!backups()->topLevelItem(1)->isHidden());
    child<QLineEdit>("restoreSearchEdit")->clear();

    // Fetched from the server, not from the local store.
    QVERIFY(QDir(m_data->path()).removeRecursively());
    QVERIFY(QDir().mkpath(m_data->path()));
    // Whatever the umask, no other user may rewrite what was restored.
    const mode_t mask = ::umask(0);
    restore(fileA, "restoreToButton");
    ::umask(mask);
    QCOMPARE(contentOf(m_target->filePath(QStringLiteral("notes.txt"))), second);
    QCOMPARE(QFile::permissions(m_target->filePath(QStringLiteral("notes.txt")))
                 & (QFile::WriteGroup | QFile::WriteOther),
             QFileDevice::Permissions());
    QCOMPARE(label()->text(), QStringLiteral("1 file(s) restored."));

    // A report of any length stays whole at a large font.
    QFont large = label()->font();
    large.setPointSize(16);
    label()->setFont(large);
    label()->setText(QStringLiteral("%1 is long. ").arg(a).repeated(20));
    QTRY_VERIFY(label()->height() >= label()->heightForWidth(label()->width()));

    // The older version to its place: only once the user agrees.
    m_answer = QMessageBox::No;
    restore(fileA->child(1), "restoreOriginalButton");
    QCOMPARE(contentOf(a), second);
    m_answer = QMessageBox::Yes;
    restore(fileA->child(1), "restoreOriginalButton");
    QCOMPARE(contentOf(a), first);
    QCOMPARE(m_boxes.size(), 2);
    QVERIFY(m_boxes[0].text.contains(a));

    // A deleted file comes back without a question.
    QVERIFY(QFile::remove(b));
    restore(backups()->topLevelItem(1), "restoreOriginalButton");
    QCOMPARE(contentOf(b), QByteArray("other folder"));
    QCOMPARE(m_boxes.size(), 2);

    // Another user's link in its place does not lead the restore elsewhere.
    if (::geteuid() != 0)
        return;
    const QString victim = m_files->filePath(QStringLiteral("victim"));
    write(victim, "untouched");
    QVERIFY(QFile::remove(b) && QFile::link(victim, b));
    QCOMPARE(::lchown(QFile::encodeName(b).constData(), 65534, 65534), 0);
    restore(backups()->topLevelItem(1), "restoreOriginalButton");
    QCOMPARE(contentOf(victim), QByteArray("untouched"));
    QVERIFY(QFileInfo(b).isSymLink());
}

void tst_Restore::aCopyThatFailsItsCheckIsNotLeftInPlace()
{
    const QString path = m_files->filePath(QStringLiteral("report.bin"));
    write(path, randomBytes(64 * 1024));
    upload(path);
    showRestoreTab(1);
    restore(backups()->topLevelItem(0), "restoreToButton");
    QVERIFY(QFile::remove(m_target->filePath(QStringLiteral("report.bin"))));
    // The fetched copy in the local store goes bad; the next restore reads it.
    QDirIterator stored(m_data->path(), { QStringLiteral("report.bin") }, QDir::Files,
                        QDirIterator::Subdirectories);
    QVERIFY(stored.hasNext());
    write(stored.next(), "not what was sent");

    restore(backups()->topLevelItem(0), "restoreToButton");
    QCOMPARE(
        QDir(m_target->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList());
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].kind, MessageBoxes::Kind::Warning);
    QVERIFY(m_boxes[0].text.contains(QStringLiteral("SHA-256")));
}

void tst_Restore::everyUploadOfTheWindowIsJournalled()
{
    // Another client's events first: the library's list then holds more than
    // the window's own uploads. One name is 100 KB of C1 controls (which XML
    // lets through) and line breaks: the list shows it without a hang.
    const QByteArray hostile = ("\xC2\x9B"
                                "2J\n"
                                + QByteArray(1000, 'N'))
                                   .repeated(100);
    for (int i = 0; i < 3; ++i)
        QVERIFY(m_server->upload(QUuid::createUuid().toByteArray(QUuid::WithoutBraces),
                                 "File [elsewhere " + (i ? QByteArray::number(i) : hostile) + "]",
                                 "elsewhere", "from elsewhere",
                                 QDateTime::currentSecsSinceEpoch() - 1000 + i));
    showRestoreTab(3);
    if (QTest::currentTestFailed())
        return;
    QMap<QString, QByteArray> sent;
    for (int i = 0; i < 6; ++i) {
        const QString path = m_files->filePath(QStringLiteral("upload-%1.bin").arg(i));
        sent.insert(path, randomBytes(1024 + i));
        write(path, sent.value(path));
        m_application->uploadFile(path);
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->UploadsInFlight(), Timeout);
    }
    QVERIFY(m_boxes.isEmpty());
    const QHash<QString, UploadJournal::Entry> journal = UploadJournal::read();
    QCOMPARE(journal.size(), sent.size());
    for (const UploadJournal::Entry &entry : journal) {
        QVERIFY2(sent.contains(entry.path), qPrintable(entry.path));
        QCOMPARE(m_server->download(entry.id.toLatin1()), sent.take(entry.path));
    }
    // A pipe or a device in an uploaded file's place is refused at once.
    const QString fifo = m_files->filePath(QStringLiteral("piped"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    QVERIFY(!UploadJournal::record(QStringLiteral("piped"), fifo));
    QVERIFY(!UploadJournal::record(QStringLiteral("zero"), QStringLiteral("/dev/zero")));
    QCOMPARE(UploadJournal::read().size(), journal.size());

    // A last record torn by a kill, then one cut short by a full disk: each
    // costs itself alone, and the next record is read whole.
    const QString kept = m_files->filePath(QStringLiteral("kept.bin"));
    write(kept, "kept");
    QVERIFY(UploadJournal::record(QStringLiteral("torn"), kept));
    const qint64 whole = QFileInfo(UploadJournal::filePath()).size();
    QVERIFY(QFile::resize(UploadJournal::filePath(), whole - 9));
    QCOMPARE(UploadJournal::read().size(), journal.size());
    {
        const FileSizeLimit diskFull(whole + 20);
        QVERIFY(!UploadJournal::record(QStringLiteral("full"), kept));
    }
    QCOMPARE(QFileInfo(UploadJournal::filePath()).size(), whole - 9);
    QVERIFY(UploadJournal::record(QStringLiteral("after"), kept));
    const QHash<QString, UploadJournal::Entry> after = UploadJournal::read();
    QCOMPARE(after.size(), journal.size() + 1);
    QCOMPARE(after.value(QStringLiteral("after")).path, kept);
}

void tst_Restore::uploadSnapshot(QMap<QString, QByteArray> *files)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const auto id
        = [] { return QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toStdString(); };
    const auto sha = [](const QByteArray &bytes) {
        return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
    };
    SnapshotManifest manifest;
    manifest.host = "box";
    manifest.created = now;
    manifest.roots = { "/home/u/docs" };
    const auto add = [&](SnapshotManifest::Type type, const char *path, unsigned mode) {
        SnapshotManifest::Entry entry;
        entry.type = type;
        entry.path = path;
        entry.mode = mode;
        entry.mtimeSeconds = now - 86400 - qint64(manifest.entries.size());
        entry.mtimeNanoseconds = 123456789;
        manifest.entries.push_back(entry);
        return &manifest.entries.back();
    };
    const auto file
        = [&](const char *path, const QByteArray &bytes, const std::string &event, qint64 offset) {
              SnapshotManifest::Entry *entry = add(SnapshotManifest::Type::File, path, 0640);
              entry->size = bytes.size();
              entry->sha256 = sha(bytes);
              entry->event = event;
              entry->offset = offset;
              m_contents.insert(QString::fromLatin1(path), QByteArray::fromStdString(event));
              files->insert(QString::fromLatin1(path), bytes);
          };
    add(SnapshotManifest::Type::Folder, "docs", 0750);
    add(SnapshotManifest::Type::Folder, "docs/sub", 0700);
    const QByteArray notes = randomBytes(300 * 1024), other = "other notes\n";
    const QByteArray small1 = "packed one", small2 = "packed two, longer";
    const std::string notesId = id(), otherId = id(), packId = id(), forgedId = id();
    QVERIFY(m_server->upload(QByteArray::fromStdString(notesId), "File [notes.txt]", "notes.txt",
                             notes, now, QByteArray::fromStdString("sha256:" + sha(notes))));
    QVERIFY(m_server->upload(QByteArray::fromStdString(otherId), "File [notes.txt]", "notes.txt",
                             other, now, QByteArray::fromStdString("sha256:" + sha(other))));
    QVERIFY(m_server->upload(QByteArray::fromStdString(packId), "Pack [2 files]", "pack-1",
                             small1 + small2, now,
                             QByteArray::fromStdString("sha256:" + sha(small1 + small2))));
    QVERIFY(m_server->upload(QByteArray::fromStdString(forgedId), "File [forged.bin]", "forged.bin",
                             "evil", now, QByteArray::fromStdString("sha256:" + sha("good"))));
    file("docs/notes.txt", notes, notesId, -1);
    file("docs/sub/notes.txt", other, otherId, -1);
    file("docs/sub/one", small1, packId, 0);
    file("docs/two", small2, packId, small1.size());
    SnapshotManifest::Entry *link = add(SnapshotManifest::Type::Link, "docs/latest", 0777);
    link->target = "sub/notes.txt";
    link->size = qint64(link->target.size());
    file("docs/forged.bin", "good", forgedId, -1);
    files->remove(QStringLiteral("docs/forged.bin"));
    QVERIFY(m_server->upload(
        QByteArray::fromStdString(id()), "Snapshot [box: ~/docs] 2026-12-08 00:00", "docs.qvs",
        QByteArray::fromStdString(manifest.write()), now, "quorvane-snapshot 1 roots:0 created:1"));
}

void tst_Restore::aSnapshotComesBackByteForByte()
{
    QMap<QString, QByteArray> files;
    uploadSnapshot(&files);
    if (QTest::currentTestFailed())
        return;
    // Its contents are no uploads of the window: the snapshot stands for them.
    showRestoreTab(1);
    QTreeWidgetItem *snapshot = backups()->topLevelItem(0);
    QVERIFY(snapshot->text(0).startsWith(QStringLiteral("Snapshot [box")));
    snapshot->setExpanded(true);
    QTRY_VERIFY_WITH_TIMEOUT(!child<RestoreTab>("restoreTab")->isBusy(), Timeout);
    QCOMPARE(snapshot->childCount(), 8);
    const auto stored = [this](const QString &name) {
        return QDirIterator(m_data->path(), { name }, QDir::Files | QDir::Hidden,
                            QDirIterator::Subdirectories)
            .hasNext();
    };

    // A restore that fails once it fetched (its folder is gone) drops the copies too.
    RestoreTab::setFolderChooser([this](QWidget *) { return m_target->filePath("gone"); });
    restore(snapshot, "restoreToButton");
    QVERIFY2(label()->text().startsWith(QStringLiteral("Nothing restored")),
             qPrintable(label()->text()));
    QTRY_VERIFY_WITH_TIMEOUT(!stored(QStringLiteral("pack-1"))
                                 && !stored(QStringLiteral("notes.txt"))
                                 && !stored(QStringLiteral(".quorvane-fetched-*")),
                             Timeout);
    RestoreTab::setFolderChooser([this](QWidget *) { return m_target->path(); });

    restore(snapshot, "restoreToButton");
    const auto stated = [](const QString &path) {
        struct stat info = {};
        ::lstat(QFile::encodeName(path).constData(), &info);
        return info;
    };
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QString path = m_target->filePath(file.key());
        QCOMPARE(contentOf(path), file.value());
        QCOMPARE(stated(path).st_mode & 07777, mode_t(0640));
        QCOMPARE(stated(path).st_mtim.tv_nsec, 123456789L);
    }
    QCOMPARE(stated(m_target->filePath(QStringLiteral("docs/sub"))).st_mode & 07777, mode_t(0700));
    char target[64] = {};
    QCOMPARE(::readlink(QFile::encodeName(m_target->filePath(QStringLiteral("docs/latest"))),
                        target, sizeof target - 1),
             ssize_t(13));
    QCOMPARE(QByteArray(target), QByteArray("sub/notes.txt"));
    // The forged file is reported and not left, not even under another name.
    QCOMPARE(QDir(m_target->filePath(QStringLiteral("docs")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList({ "latest", "notes.txt", "sub", "two" }));
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(
        m_boxes[0].text.contains(QStringLiteral("docs/forged.bin: its content does not match")));
    QCOMPARE(label()->text(),
             QStringLiteral("7 of 8 entries restored to \"%1\".").arg(m_target->path()));

    // What the restore fetched leaves the local store again.
    QTRY_VERIFY_WITH_TIMEOUT(
        !stored(QStringLiteral("pack-1")) && !stored(QStringLiteral("notes.txt")), Timeout);
    QVERIFY(stored(QStringLiteral("docs.qvs")));

    // One entry, over a changed copy: only once the user agrees.
    const QString notes = m_target->filePath(QStringLiteral("docs/sub/notes.txt"));
    write(notes, "changed");
    QTreeWidgetItem *entry = nullptr;
    for (int row = 0; row < snapshot->childCount(); ++row)
        if (snapshot->child(row)->text(0) == QStringLiteral("docs/sub/notes.txt"))
            entry = snapshot->child(row);
    QVERIFY(entry);
    m_answer = QMessageBox::No;
    restore(entry, "restoreToButton");
    QCOMPARE(contentOf(notes), QByteArray("changed"));
    m_answer = QMessageBox::Yes;
    restore(entry, "restoreToButton");
    QCOMPARE(contentOf(notes), files.value(QStringLiteral("docs/sub/notes.txt")));
    QCOMPARE(m_boxes.size(), 4);
    QCOMPARE(m_boxes[1].kind, MessageBoxes::Kind::Question);
}

void tst_Restore::aRestoreKilledMidwayIsFinished()
{
    QMap<QString, QByteArray> files;
    uploadSnapshot(&files);
    if (QTest::currentTestFailed())
        return;
    showRestoreTab(1);
    if (QTest::currentTestFailed())
        return;
    // What a killed restore leaves: a content the store still lists while
    // its file was moved out, another fetched and not yet used, the note of
    // both, and a half-written file under a temporary name; its process is
    // gone.
    struct Waiter : Quorvane::QuorvaneUser
    {
        int code = -1;
        void OnFinished(int finished, int) override { code = finished; }
        void OnMessage(const char *) override { }
        void OnProgress(int, int) override { }
    } waiter;
    const QByteArray moved = m_contents.value(QStringLiteral("docs/notes.txt"));
    const QByteArray unused = m_contents.value(QStringLiteral("docs/sub/notes.txt"));
    Quorvane::IdList ids;
    ids.append(moved.constData());
    ids.append(unused.constData());
    QCOMPARE(m_application->quorvane()->downloadEvents(ids, &waiter), Quorvane::Success);
    QTRY_COMPARE_WITH_TIMEOUT(waiter.code, int(Quorvane::Success), Timeout);
    const auto stored = [this](const QByteArray &id) {
        QDirIterator folders(m_data->path(), { QString::fromLatin1(id) }, QDir::Dirs,
                             QDirIterator::Subdirectories);
        return folders.hasNext() ? folders.next() : QString();
    };
    QVERIFY(QFile::remove(stored(moved) + QStringLiteral("/notes.txt")));
    QVERIFY(!stored(unused).isEmpty());
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    QCOMPARE(::waitpid(gone, nullptr, 0), gone);
    write(m_data->filePath(QStringLiteral(".quorvane-fetched-%1-0").arg(gone)),
          moved + '\n' + unused + '\n');
    QVERIFY(QDir(m_target->path()).mkpath(QStringLiteral("docs")));
    write(m_target->filePath(QStringLiteral("docs/.quorvane-restore-%1-0").arg(gone)), "part");

    restore(backups()->topLevelItem(0), "restoreToButton");
    QCOMPARE(contentOf(m_target->filePath(QStringLiteral("docs/notes.txt"))),
             files.value(QStringLiteral("docs/notes.txt")));
    QCOMPARE(QDir(m_target->filePath(QStringLiteral("docs")))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
             QStringList({ "latest", "notes.txt", "sub", "two" }));
    QCOMPARE(label()->text(),
             QStringLiteral("7 of 8 entries restored to \"%1\".").arg(m_target->path()));
    QTRY_VERIFY_WITH_TIMEOUT(stored(moved).isEmpty() && stored(unused).isEmpty(), Timeout);
    QCOMPARE(QDir(m_data->path())
                 .entryList({ QStringLiteral(".quorvane-*") }, QDir::Hidden | QDir::Files),
             QStringList());
}

int main(int argc, char **argv)
{
    InProcessKeycrate::prepareFolder({});
    // A real X server where there is one to start; offscreen elsewhere.
    if (desktop().start(false)) {
        qputenv("DISPLAY", desktop().display().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");
    } else {
        qWarning("no virtual X server: %s", qPrintable(desktop().whyNot()));
    }
    return InProcessKeycrate::exec<tst_Restore>(argc, argv);
}

#include "tst_Restore.moc"
