#include "HandOverSetting.h"
#include "IQuorvane.h"
#include "InProcessKeycrate.h"
#include "InstanceClient.h"
#include "InstanceServer.h"
#include "LibrarySettings.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "MyQApplication.h"
#include "ReferenceServer.h"
#include "TheManager.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

// The window, the application and the real library, against the reference
// backup server on a loopback port. The test runs from a folder of its own,
// keycrate's application folder: the library is copied in from the build.

using Platform::InstanceClient;
using Platform::MessageBoxes;

namespace {

const QString Title = QStringLiteral("Lock my files");
// Uploads over loopback are quick, but a sanitizer build is not.
constexpr int UploadTimeout = 120000;

QByteArray randomBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                          size / qsizetype(sizeof(quint32)));
    return bytes;
}

// Sends as another process would, while this thread keeps serving.
bool sendFromElsewhere(const Platform::WindowMessage &message, qint64 *result)
{
    bool handled = false;
    InstanceClient::Outcome outcome = InstanceClient::Outcome::NoAnswer;
    std::unique_ptr<QThread> thread(QThread::create(
        [&] { outcome = InstanceClient(Title).send(message, result, &handled, 10000); }));
    thread->start();
    const QDeadlineTimer deadline(20000);
    while (!thread->isFinished() && !deadline.hasExpired())
        QTest::qWait(5);
    thread->wait();
    return outcome == InstanceClient::Outcome::Delivered && handled;
}

} // namespace

// The helpers check as they go; a failure there ends the test.
#define LOCK_AND_COPY(...)                                                                         \
    do {                                                                                           \
        lockAndCopy(__VA_ARGS__);                                                                  \
        if (QTest::currentTestFailed())                                                            \
            return;                                                                                \
    } while (false)

class tst_Upload : public QObject
{
    Q_OBJECT

public:
    explicit tst_Upload(MyQApplication *application)
        : m_application(application)
        , m_window(application->mainWindow())
    {
    }

private slots:
    void init();
    void cleanup();
    void threeLockedFilesAreUploadedOneAfterAnother();
    void aWrongPasswordStopsTheRunWithTheLoginBox();
    void theDefaultAccountSendsNothing();
    void cancelDuringALargeUpload();
    void progressMovesTheBarExceptWhileMinimized();
    void emptyingTheListDuringATransfer_data();
    void emptyingTheListDuringATransfer();
    void aFileThatCannotBeReadStopsTheRunWithAnError();
    void handOverCommandsUploadAndShow();
    void aFileHandedOverDuringARunMarksItsOwnRow();

private:
    template<typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QTreeWidget *lockedList() const { return child<QTreeWidget>("treeWidget"); }
    QTreeWidget *uploadList() const { return child<QTreeWidget>("treeWidget_2"); }
    QTabWidget *tabs() const { return child<QTabWidget>("tabWidget"); }
    QPushButton *uploadButton() const { return child<QPushButton>("uploadButton"); }
    QProgressBar *progressBar() const { return child<QProgressBar>("progressBar"); }

    QString makeFile(const QString &name, const QByteArray &content);
    QString makeLargeFile(const QString &name, int mebibytes);
    // Locks the files and copies them, in this order, to the upload list.
    void lockAndCopy(const QStringList &paths);
    void copyToUploadList(const QStringList &paths);
    void saveAccount(const QString &user, const QString &password);
    QStringList statuses() const;
    // Calls work once, after the first progress report reached the bar.
    void atFirstProgress(std::function<void()> work);
    bool waitForRunEnd();

    MyQApplication *m_application;
    TheManager *m_window;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<QTemporaryDir> m_data;
    QList<MessageBoxes::Box> m_boxes;
    // Every status a row of the upload list took, as "status path".
    QStringList m_history;
    QMetaObject::Connection m_recorder;
    QList<std::shared_ptr<QMetaObject::Connection>> m_pending;
};

void tst_Upload::init()
{
    m_boxes.clear();
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return QMessageBox::Ok;
    });
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    LibrarySettings::setServerUrl(m_server->url());
    m_files = std::make_unique<QTemporaryDir>();
    m_data = std::make_unique<QTemporaryDir>();
    m_application->quorvane()->setDataPath(m_data->path().toUtf8().constData());
    saveAccount(QString::fromLatin1(ReferenceServer::User),
                QString::fromLatin1(ReferenceServer::Password));

    m_history.clear();
    m_recorder = connect(uploadList()->model(), &QAbstractItemModel::dataChanged, this,
                         [this](const QModelIndex &from, const QModelIndex &to) {
                             for (int row = from.row(); row <= to.row(); ++row) {
                                 const QTreeWidgetItem *item = uploadList()->topLevelItem(row);
                                 const QString entry = item->text(0) + ' ' + item->text(1);
                                 if (!item->text(0).isEmpty() && !m_history.contains(entry))
                                     m_history.append(entry);
                             }
                         });
    m_window->showNormal();
    tabs()->setCurrentIndex(0);
}

void tst_Upload::cleanup()
{
    disconnect(m_recorder);
    for (const auto &connection : std::as_const(m_pending))
        disconnect(*connection);
    m_pending.clear();
    // Nothing of this test may still be in flight for the next one.
    if (m_window->UploadsInFlight()) {
        m_application->quorvane()->cancelAll();
        QTRY_VERIFY_WITH_TIMEOUT(!m_window->UploadsInFlight(), UploadTimeout);
    }
    tabs()->setCurrentIndex(1);
    child<QAction>("actionUnlock_file")->trigger();
    m_window->ResetUploadControls();
    ForgetLocks();
    QFile list(LockListPath());
    QVERIFY(list.open(QIODevice::WriteOnly | QIODevice::Truncate));
    list.close();
    m_window->UpdateLockedList();
    m_server.reset();
    m_files.reset();
    m_data.reset();
    MessageBoxes::setAnswerer({});
}

QString tst_Upload::makeFile(const QString &name, const QByteArray &content)
{
    QFile file(m_files->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

QString tst_Upload::makeLargeFile(const QString &name, int mebibytes)
{
    QFile file(m_files->filePath(name));
    const QByteArray block = randomBytes(1024 * 1024);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(file.fileName()));
    for (int i = 0; i < mebibytes; ++i)
        file.write(block);
    return file.fileName();
}

void tst_Upload::lockAndCopy(const QStringList &paths)
{
    for (const QString &path : paths)
        QCOMPARE(ToggleLock(QFile::encodeName(path)), 0);
    m_window->UpdateLockedList();
    copyToUploadList(paths);
}

void tst_Upload::copyToUploadList(const QStringList &paths)
{
    lockedList()->clearSelection();
    for (const QString &path : paths) {
        const auto rows = lockedList()->findItems(path, Qt::MatchExactly, 1);
        QCOMPARE(rows.size(), 1);
        rows.first()->setSelected(true);
    }
    child<QAction>("actionOnline_backup_share")->trigger();
    QCOMPARE(tabs()->currentIndex(), 1);
    QCOMPARE(statuses(), QStringList(paths.size(), QStringLiteral("Not uploaded")));
}

void tst_Upload::saveAccount(const QString &user, const QString &password)
{
    tabs()->setCurrentIndex(2);
    child<QLineEdit>("userEdit")->setText(user);
    child<QLineEdit>("passwordEdit")->setText(password);
    child<QRadioButton>("radioButtonAll")->setChecked(true);
    QTest::mouseClick(child<QPushButton>("saveButton"), Qt::LeftButton);
}

QStringList tst_Upload::statuses() const
{
    QStringList texts;
    for (int row = 0; row < uploadList()->topLevelItemCount(); ++row)
        texts.append(uploadList()->topLevelItem(row)->text(0));
    return texts;
}

void tst_Upload::atFirstProgress(std::function<void()> work)
{
    auto connection = std::make_shared<QMetaObject::Connection>();
    // Queued: the work runs between the library's reports, as a user's click.
    m_pending.append(connection);
    *connection = connect(
        progressBar(), &QProgressBar::valueChanged, this,
        [connection, work](int value) {
            if (value <= 0)
                return;
            QObject::disconnect(*connection);
            work();
        },
        Qt::QueuedConnection);
}

bool tst_Upload::waitForRunEnd()
{
    const QDeadlineTimer deadline(UploadTimeout);
    while (m_window->UploadsInFlight() && !deadline.hasExpired())
        QTest::qWait(10);
    return !m_window->UploadsInFlight();
}

void tst_Upload::threeLockedFilesAreUploadedOneAfterAnother()
{
    const QByteArray contents[] = { randomBytes(300 * 1024), QByteArray("two words\n"),
                                    QByteArray("-|+</event>\0\xff", 13) };
    const QStringList paths = { makeFile(QStringLiteral("photo.jpg"), contents[0]),
                                makeFile(QStringLiteral("notes and plans.txt"), contents[1]),
                                makeFile(QStringLiteral("Übersicht.bin"), contents[2]) };
    LOCK_AND_COPY(paths);
    QSignalSpy uploadItem(m_window, &TheManager::UploadItem);

    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QCOMPARE(uploadItem.size(), 1);
    QCOMPARE(uploadItem.first().first().toString(), paths[0]);
    QCOMPARE(uploadButton()->text(), QStringLiteral("Cancel"));
    QCOMPARE(child<QLabel>("uploadLabel")->text(),
             QStringLiteral("Uploading \"%1\"").arg(paths[0]));

    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    QStringList expected;
    for (const QString &path : paths)
        expected << QStringLiteral("Uploading... ") + path << QStringLiteral("Done ") + path;
    QCOMPARE(m_history, expected);
    QCOMPARE(statuses(), QStringList(3, QStringLiteral("Done")));
    QCOMPARE(uploadList()->topLevelItem(2)->background(0).color(), QColor(0, 255, 0, 64));
    QCOMPARE(child<QLabel>("uploadLabel")->text(), QString());
    QCOMPARE(progressBar()->value(), 0);
    QVERIFY(m_boxes.isEmpty());

    const QList<ReferenceServer::StoredEvent> stored = m_server->events();
    QCOMPARE(stored.size(), 3);
    // By name, byte for byte.
    const QByteArray names[]
        = { "File [notes and plans.txt]", "File [photo.jpg]", "File [Übersicht.bin]" };
    const int fileOf[] = { 1, 0, 2 };
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(stored[i].name, names[i]);
        QCOMPARE(stored[i].description, QByteArray("Uploaded by KEYCRATE"));
        QCOMPARE(stored[i].access, 0);
        QCOMPARE(stored[i].owner, QByteArray(ReferenceServer::User));
        QCOMPARE(stored[i].path, QFileInfo(paths[fileOf[i]]).fileName().toUtf8());
        QCOMPARE(stored[i].id.size(), 36);
        int status = 0;
        QCOMPARE(m_server->download(stored[i].id, &status), contents[fileOf[i]]);
        QCOMPARE(status, 200);
    }
    // Sent to the server only: nothing went into the local store.
    QCOMPARE(QDir(m_data->path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());

    // The first row is done: a new run finds nothing to upload.
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].title, QStringLiteral("KEYCRATE"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("No valid items for uploading!"));
    QCOMPARE(uploadButton()->text(), QStringLiteral("Upload"));
    QCOMPARE(uploadItem.size(), 1);
    QCOMPARE(m_server->requests("quorvupload"), 3);
}

void tst_Upload::aWrongPasswordStopsTheRunWithTheLoginBox()
{
    saveAccount(QString::fromLatin1(ReferenceServer::User), QStringLiteral("not the password"));
    const QStringList paths
        = { makeFile(QStringLiteral("a.txt"), "a"), makeFile(QStringLiteral("b.txt"), "b") };
    LOCK_AND_COPY(paths);

    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    // The result brings the window back.
    m_window->hide();
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes.size(), 1, UploadTimeout);
    QCOMPARE(m_boxes[0].kind, MessageBoxes::Kind::Information);
    QCOMPARE(m_boxes[0].parent, m_window);
    QCOMPARE(m_boxes[0].title, QStringLiteral("Login error"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("Check username and password in Settings!"));
    QVERIFY(m_window->isVisible());
    QCOMPARE(statuses(), QStringList({ QStringLiteral("Error"), QStringLiteral("Not uploaded") }));
    QCOMPARE(uploadList()->topLevelItem(0)->background(0).color(), QColor(255, 0, 0, 64));
    QCOMPARE(uploadButton()->text(), QStringLiteral("Cancel"));

    // The run has stopped: the second file is not sent, however long we wait.
    QTest::qWait(500);
    QCOMPARE(m_server->requests("quorvupload"), 1);
    QCOMPARE(statuses()[1], QStringLiteral("Not uploaded"));
    QVERIFY(m_server->events().isEmpty());

    // Pressing the button now only resets it.
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QCOMPARE(uploadButton()->text(), QStringLiteral("Upload"));
    QTest::qWait(200);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(!m_window->UploadsInFlight());
}

void tst_Upload::theDefaultAccountSendsNothing()
{
    saveAccount(QStringLiteral("guest"), QStringLiteral("ferny"));
    const QString path = makeFile(QStringLiteral("a.txt"), "a");
    LOCK_AND_COPY({ path });

    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QCOMPARE(tabs()->currentIndex(), 2);
    QCOMPARE(statuses(), QStringList { QStringLiteral("Not uploaded") });
    QVERIFY(!m_window->UploadsInFlight());
    QCOMPARE(uploadButton()->text(), QStringLiteral("Cancel"));
    QTest::qWait(300);
    QCOMPARE(m_server->requests("quorvupload"), 0);
    QVERIFY(m_boxes.isEmpty());

    // A capital letter makes it an account of the user's own.
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QCOMPARE(uploadButton()->text(), QStringLiteral("Upload"));
    QVERIFY(m_server->addAccount("Guest", "ferny"));
    saveAccount(QStringLiteral("Guest"), QStringLiteral("ferny"));
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    QCOMPARE(statuses(), QStringList { QStringLiteral("Done") });
    const QList<ReferenceServer::StoredEvent> stored = m_server->events();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored[0].owner, QByteArray("Guest"));
    QVERIFY(m_boxes.isEmpty());
}

void tst_Upload::cancelDuringALargeUpload()
{
    const QString path = makeLargeFile(QStringLiteral("large.bin"), 128);
    LOCK_AND_COPY({ path });
    atFirstProgress([this] { QTest::mouseClick(uploadButton(), Qt::LeftButton); });

    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    QCOMPARE(progressBar()->value(), 0);
    // The cancelled transfer reports 101: its row fails, silently.
    QVERIFY(waitForRunEnd());
    QCOMPARE(statuses(), QStringList { QStringLiteral("Error") });
    QTest::qWait(200);
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(uploadButton()->text(), QStringLiteral("Upload"));
    QVERIFY(m_server->events().isEmpty());
}

void tst_Upload::progressMovesTheBarExceptWhileMinimized()
{
    const qint64 size = 24 * 1024 * 1024;
    const QString path = makeLargeFile(QStringLiteral("progress.bin"), int(size / (1024 * 1024)));
    LOCK_AND_COPY({ path });
    QList<QPair<int, int>> seen;
    const auto recorder = connect(progressBar(), &QProgressBar::valueChanged, this, [&](int value) {
        seen.append({ value, progressBar()->maximum() });
    });
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    disconnect(recorder);
    QCOMPARE(statuses(), QStringList { QStringLiteral("Done") });
    // The request body first (the event's description, the separator, the
    // file), then the server's short answer.
    const int total = seen.first().second;
    QVERIFY(total > size);
    QList<int> sent;
    for (const auto &[value, maximum] : std::as_const(seen)) {
        if (maximum == total)
            sent.append(value);
    }
    const qsizetype reached = sent.indexOf(total);
    QVERIFY(reached >= 1);
    QVERIFY(std::is_sorted(sent.begin(), sent.begin() + reached + 1));
    QCOMPARE(seen.last().first, 0); // the run's end resets it

    // Minimized after the first report: the bar keeps what it showed then.
    copyToUploadList({ path });
    QVERIFY(!QTest::currentTestFailed());
    seen.clear();
    bool minimized = false;
    const auto minimizer
        = connect(progressBar(), &QProgressBar::valueChanged, this, [&](int value) {
              if (minimized)
                  seen.append({ value, progressBar()->maximum() });
              else if (value > 0) {
                  m_window->showMinimized();
                  minimized = true;
              }
          });
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    disconnect(minimizer);
    QVERIFY(minimized);
    QVERIFY(m_window->isMinimized());
    QCOMPARE(statuses(), QStringList { QStringLiteral("Done") });
    QCOMPARE(seen, (QList<QPair<int, int>> { { 0, total } }));
}

void tst_Upload::emptyingTheListDuringATransfer_data()
{
    QTest::addColumn<bool>("copyAgain");
    QTest::newRow("Clear/Unlock on the upload tab") << false;
    QTest::newRow("a new copy of selected rows") << true;
}

void tst_Upload::emptyingTheListDuringATransfer()
{
    QFETCH(bool, copyAgain);
    const QString large = makeLargeFile(QStringLiteral("large.bin"), 48);
    const QString other = makeFile(QStringLiteral("other.txt"), "other");
    LOCK_AND_COPY({ large, other });
    atFirstProgress([&] {
        if (copyAgain) {
            lockedList()->clearSelection();
            lockedList()->findItems(other, Qt::MatchExactly, 1).first()->setSelected(true);
            child<QAction>("actionOnline_backup_share")->trigger();
        } else {
            tabs()->setCurrentIndex(1);
            child<QAction>("actionUnlock_file")->trigger();
        }
    });
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);

    QVERIFY(!m_window->UploadsInFlight());
    QCOMPARE(statuses(),
             copyAgain ? QStringList { QStringLiteral("Not uploaded") } : QStringList());
    QCOMPARE(child<QLabel>("uploadLabel")->text(), QString());
    QCOMPARE(m_history.filter(QStringLiteral("Done")), QStringList());
    QVERIFY(m_boxes.isEmpty());
    // The transfer itself went on; the rest of the run did not.
    QCOMPARE(m_server->requests("quorvupload"), 1);
    QCOMPARE(m_server->events().size(), 1);
}

void tst_Upload::aFileThatCannotBeReadStopsTheRunWithAnError()
{
    const QStringList paths = { makeFile(QStringLiteral("gone.txt"), "soon gone"),
                                makeFile(QStringLiteral("kept.txt"), "kept") };
    LOCK_AND_COPY(paths);
    QVERIFY(QFile::remove(paths[0]));

    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(m_boxes.size(), 1, UploadTimeout);
    QCOMPARE(m_boxes[0].kind, MessageBoxes::Kind::Critical);
    QCOMPARE(m_boxes[0].parent, m_window);
    QCOMPARE(m_boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("Error occurred"));
    QCOMPARE(statuses(), QStringList({ QStringLiteral("Error"), QStringLiteral("Not uploaded") }));
    QCOMPARE(uploadButton()->text(), QStringLiteral("Cancel"));
    QVERIFY(m_server->events().isEmpty());
}

void tst_Upload::handOverCommandsUploadAndShow()
{
    const QString report = makeFile(QStringLiteral("report.pdf"), "%PDF-1.4 report");
    m_window->hide();
    QVERIFY(Platform::HandOverSetting::write(QFile::encodeName(report)));
    qint64 result = -1;
    QVERIFY(sendFromElsewhere({ 1046, 0, 1 }, &result));
    QCOMPARE(result, qint64(0));
    QVERIFY(m_window->isVisible());
    QCOMPARE(tabs()->currentIndex(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    QCOMPARE(m_history,
             QStringList(
                 { QStringLiteral("Uploading... ") + report, QStringLiteral("Done ") + report }));
    const QList<ReferenceServer::StoredEvent> stored = m_server->events();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored[0].name, QByteArray("File [report.pdf]"));
    QCOMPARE(stored[0].description, QByteArray("Uploaded by KEYCRATE"));
    QCOMPARE(stored[0].access, 0);
    QCOMPARE(m_server->download(stored[0].id), QByteArray("%PDF-1.4 report"));

    // With the default account the settings come first and nothing is sent.
    saveAccount(QStringLiteral("guest"), QStringLiteral("ferny"));
    tabs()->setCurrentIndex(0);
    const QString second = makeFile(QStringLiteral("second.pdf"), "second");
    QVERIFY(Platform::HandOverSetting::write(QFile::encodeName(second)));
    QVERIFY(sendFromElsewhere({ 1046, 0, 1 }, &result));
    QCOMPARE(tabs()->currentIndex(), 2);
    QCOMPARE(uploadList()->topLevelItemCount(), 1);
    QVERIFY(!m_window->UploadsInFlight());

    // A show request reads the stored settings back over unsaved edits and
    // refreshes the list.
    child<QLineEdit>("userEdit")->setText(QStringLiteral("typed, not saved"));
    QCOMPARE(ToggleLock(QFile::encodeName(second)), 0);
    m_window->hide();
    QVERIFY(sendFromElsewhere({ 1046, 0, 2 }, &result));
    QVERIFY(m_window->isVisible());
    QCOMPARE(child<QLineEdit>("userEdit")->text(), QStringLiteral("guest"));
    QCOMPARE(lockedList()->findItems(second, Qt::MatchExactly, 1).size(), 1);
    QCOMPARE(m_server->requests("quorvupload"), 1);
    QVERIFY(m_boxes.isEmpty());
}

void tst_Upload::aFileHandedOverDuringARunMarksItsOwnRow()
{
    const QString first = makeLargeFile(QStringLiteral("first.bin"), 32);
    const QString second = makeFile(QStringLiteral("second.txt"), "second");
    const QString handed = makeFile(QStringLiteral("handed.txt"), "handed");
    LOCK_AND_COPY({ first, second });
    atFirstProgress([&] {
        QVERIFY(Platform::HandOverSetting::write(QFile::encodeName(handed)));
        qint64 result = -1;
        QVERIFY(m_application->messageFilter({ 1046, 0, 1 }, &result));
    });
    QTest::mouseClick(uploadButton(), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(uploadButton()->text(), QStringLiteral("Upload"), UploadTimeout);
    QVERIFY(!m_window->UploadsInFlight());

    // Each result lands on its own row, and the run goes on one at a time.
    QCOMPARE(
        m_history,
        QStringList({ QStringLiteral("Uploading... ") + first,
                      QStringLiteral("Uploading... ") + handed, QStringLiteral("Done ") + first,
                      QStringLiteral("Done ") + handed, QStringLiteral("Uploading... ") + second,
                      QStringLiteral("Done ") + second }));
    QCOMPARE(statuses(), QStringList(3, QStringLiteral("Done")));
    QCOMPARE(m_server->events().size(), 3);
    QVERIFY(m_boxes.isEmpty());
}

int main(int argc, char **argv)
{
    InProcessKeycrate::prepareFolder({});
    return InProcessKeycrate::exec<tst_Upload>(argc, argv);
}

#include "tst_Upload.moc"
