#include "ApplicationFolder.h"
#include "HandOverSetting.h"
#include "IQuorvane.h"
#include "InProcessKeycrate.h"
#include "InstanceClient.h"
#include "InstanceServer.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "MyQApplication.h"
#include "TheManager.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeWidget>

using Platform::InstanceClient;
using Platform::MessageBoxes;

namespace {

const QString Title = QStringLiteral("Lock my files");

QTemporaryDir *files()
{
    static QTemporaryDir folder;
    return &folder;
}

QByteArray makeFile(const QString &name)
{
    QFile file(files()->filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return QFile::encodeName(file.fileName());
}

// Sends as another process would, while this thread keeps serving.
InstanceClient::Outcome sendFromElsewhere(const Platform::WindowMessage &message, qint64 *result,
                                          bool *handled)
{
    InstanceClient::Outcome outcome = InstanceClient::Outcome::NoAnswer;
    std::unique_ptr<QThread> thread(QThread::create(
        [&] { outcome = InstanceClient(Title).send(message, result, handled, 5000); }));
    thread->start();
    const QDeadlineTimer deadline(10000);
    while (!thread->isFinished() && !deadline.hasExpired())
        QTest::qWait(5);
    thread->wait();
    return outcome;
}

} // namespace

class tst_MyQApplication : public QObject
{
    Q_OBJECT

public:
    explicit tst_MyQApplication(MyQApplication *application)
        : m_application(application)
    {
    }

private slots:
    void init();
    void startsVisibleWithTheLibraryBoundAndTheLocksBack();
    void closingTheWindowOnlyHidesIt();
    void showRequestsShowAndRefresh();
    void lockRequestsToggleAndConfirm();
    void otherMessagesAreNotConsumed();
    void aPathOnTheMessageGoesBeforeTheSetting();
    void failuresAfterTheUploadListWasClearedAreShown();

private:
    QTreeWidget *lockedList() const
    {
        return m_application->mainWindow()->findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
    }

    MyQApplication *m_application;
    QList<MessageBoxes::Box> m_boxes;
};

void tst_MyQApplication::init()
{
    m_boxes.clear();
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return QMessageBox::Ok;
    });
}

void tst_MyQApplication::startsVisibleWithTheLibraryBoundAndTheLocksBack()
{
    QCOMPARE(applicationFolder(), QCoreApplication::applicationDirPath());
    QVERIFY(m_application->quorvane());
    QCOMPARE(m_application->mainWindow()->interfacePointer(), m_application->quorvane());
    QVERIFY(m_application->mainWindow()->isVisible());
    QVERIFY(!QApplication::quitOnLastWindowClosed());
    const QByteArray restored
        = QFile::encodeName(files()->filePath(QStringLiteral("restored.txt")));
    QCOMPARE(lockedList()->topLevelItemCount(), 1);
    QCOMPARE(lockedList()->topLevelItem(0)->text(0), QStringLiteral("Locked"));
    QCOMPARE(lockedList()->topLevelItem(0)->text(1), QFile::decodeName(restored));
    // The settings tab is filled too, and the library has a data folder.
    const auto *user
        = m_application->mainWindow()->findChild<QLineEdit *>(QStringLiteral("userEdit"));
    QCOMPARE(user->text(), QStringLiteral("anna"));
    QCOMPARE(QByteArray(m_application->quorvane()->getDataPath()),
             QFile::encodeName(qEnvironmentVariable("XDG_DATA_HOME")) + "/keycrate/events");
}

void tst_MyQApplication::closingTheWindowOnlyHidesIt()
{
    TheManager *window = m_application->mainWindow();
    window->show();
    QVERIFY(!window->close());
    QVERIFY(!window->isVisible());
    QCOMPARE(ReadLockStatuses().size(), 1);
    QVERIFY(m_boxes.isEmpty());
}

void tst_MyQApplication::showRequestsShowAndRefresh()
{
    TheManager *window = m_application->mainWindow();
    window->hide();
    const QByteArray added = makeFile(QStringLiteral("added.txt"));
    QCOMPARE(ToggleLock(added), 0);
    QCOMPARE(lockedList()->topLevelItemCount(), 1);

    QCOMPARE(InstanceClient(Title).post({ 1046, 0, 2 }), InstanceClient::Outcome::Delivered);
    QTRY_VERIFY(window->isVisible());
    QCOMPARE(lockedList()->topLevelItemCount(), 2);

    QCOMPARE(InstanceClient(Title).post({ 16, 0, 0 }), InstanceClient::Outcome::Delivered);
    QTRY_VERIFY(!window->isVisible());
    QCOMPARE(ToggleLock(added), 0);
}

void tst_MyQApplication::lockRequestsToggleAndConfirm()
{
    const QByteArray handed = makeFile(QStringLiteral("handed.txt"));
    QVERIFY(Platform::HandOverSetting::write(handed));
    qint64 result = -1;
    bool handled = false;
    QCOMPARE(sendFromElsewhere({ 1046, 0, 0 }, &result, &handled),
             InstanceClient::Outcome::Delivered);
    QVERIFY(handled);
    QCOMPARE(result, qint64(0));
    QCOMPARE(ReadLockStatuses().value(handed, -1), int(StatusLocked));
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, QStringLiteral("Operation successful!"));

    QCOMPARE(sendFromElsewhere({ 1046, 0, 0 }, &result, &handled),
             InstanceClient::Outcome::Delivered);
    QCOMPARE(result, qint64(0));
    QCOMPARE(ReadLockStatuses().value(handed, -1), -1);

    // Nothing readable handed over: a silent failure.
    QVERIFY(Platform::HandOverSetting::write(QByteArray()));
    QCOMPARE(sendFromElsewhere({ 1046, 0, 0 }, &result, &handled),
             InstanceClient::Outcome::Delivered);
    QVERIFY(handled);
    QCOMPARE(result, qint64(99));
    QCOMPARE(m_boxes.size(), 2);
}

void tst_MyQApplication::otherMessagesAreNotConsumed()
{
    qint64 result = -1;
    for (const Platform::WindowMessage &message :
         { Platform::WindowMessage { 1046, 0, 3 }, Platform::WindowMessage { 1046, 0, -1 },
           Platform::WindowMessage { 1047, 0, 0 }, Platform::WindowMessage { 0, 0, 0 } }) {
        QVERIFY(!m_application->messageFilter(message, &result));
    }
    QVERIFY(m_application->messageFilter({ 16, 0, 0 }, &result));
    QCOMPARE(result, qint64(0));
    QVERIFY(m_boxes.isEmpty());
}

void tst_MyQApplication::aPathOnTheMessageGoesBeforeTheSetting()
{
    const QByteArray inSetting = makeFile(QStringLiteral("in-setting.txt"));
    const QByteArray carried = makeFile(QStringLiteral("carried.txt"));
    QVERIFY(Platform::HandOverSetting::write(inSetting));
    qint64 result = -1;
    bool handled = false;
    QCOMPARE(sendFromElsewhere({ 1046, 0, 0, carried }, &result, &handled),
             InstanceClient::Outcome::Delivered);
    QCOMPARE(result, qint64(0));
    QCOMPARE(ReadLockStatuses().value(carried, -1), int(StatusLocked));
    QCOMPARE(ReadLockStatuses().value(inSetting, -1), -1);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(ToggleLock(carried), 0);
}

void tst_MyQApplication::failuresAfterTheUploadListWasClearedAreShown()
{
    TheManager *window = m_application->mainWindow();
    window->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
    const auto *uploads = window->findChild<QTreeWidget *>(QStringLiteral("treeWidget_2"));
    for (const int code : { 99, 100 }) {
        m_boxes.clear();
        window->MarkUploading(QStringLiteral("/somewhere/report.pdf"));
        window->findChild<QAction *>(QStringLiteral("actionUnlock_file"))->trigger();
        QCOMPARE(uploads->topLevelItemCount(), 0);
        m_application->OnFinished(code, 0);
        QTRY_COMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text,
                 code == 99 ? QStringLiteral("Error occurred")
                            : QStringLiteral("Check username and password in Settings!"));
    }
}

int main(int argc, char **argv)
{
    // One listed file to restore, and a fresh list.
    InProcessKeycrate::prepareFolder(makeFile(QStringLiteral("restored.txt")) + '\n');
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                           QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
        settings.setValue(QStringLiteral("user"), QByteArray("anna"));
        settings.setValue(QStringLiteral("password"), QByteArray("secret"));
    }
    return InProcessKeycrate::exec<tst_MyQApplication>(argc, argv);
}

#include "tst_MyQApplication.moc"
