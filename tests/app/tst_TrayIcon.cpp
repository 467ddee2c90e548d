#include "InProcessKeycrate.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "TheManager.h"
#include "TrayIcon.h"
#include "VirtualDesktop.h"

#include <QAction>
#include <QMenu>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using Platform::MessageBoxes;

namespace {

VirtualDesktop &desktop()
{
    static VirtualDesktop instance;
    return instance;
}

bool &desktopStarted()
{
    static bool started = false;
    return started;
}

} // namespace

class tst_TrayIcon : public QObject
{
    Q_OBJECT

public:
    explicit tst_TrayIcon(MyQApplication *application)
        : m_application(application)
    {
    }

private slots:
    void initTestCase();
    void init();
    void theIconShowsWithItsMenu();
    void showBringsTheHiddenWindowUp();
    void lockAFileChosenInTheDialog();
    void backUpAskedForTheAccountFirst();
    void quitEndsTheEventLoop();

private:
    TrayIcon *tray() const { return m_application->trayIcon(); }
    TheManager *window() const { return m_application->mainWindow(); }

    MyQApplication *m_application;
    QTemporaryDir m_files;
    QString m_chosen;
    QList<MessageBoxes::Box> m_boxes;
};

void tst_TrayIcon::initTestCase()
{
    if (!desktopStarted())
        QSKIP(qPrintable(desktop().whyNot()));
    // The tray host may take a moment to claim the tray.
    QTRY_VERIFY_WITH_TIMEOUT(tray(), 15000);
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return QMessageBox::Ok;
    });
}

void tst_TrayIcon::init()
{
    m_boxes.clear();
    m_chosen.clear();
    tray()->setFileChooser([this](const QString &) { return m_chosen; });
}

void tst_TrayIcon::theIconShowsWithItsMenu()
{
    QVERIFY(TrayIcon::available());
    QVERIFY(tray()->isVisible());
    QStringList texts;
    for (const QAction *action : tray()->menu()->actions())
        if (!action->isSeparator())
            texts << action->text();
    QCOMPARE(texts,
             QStringList({ QStringLiteral("Show the window"), QStringLiteral("Lock a file..."),
                           QStringLiteral("Back up a file..."), QStringLiteral("Quit") }));
}

void tst_TrayIcon::showBringsTheHiddenWindowUp()
{
    window()->close();
    QVERIFY(!window()->isVisible());
    tray()->showAction()->trigger();
    QVERIFY(window()->isVisible());
}

void tst_TrayIcon::lockAFileChosenInTheDialog()
{
    // A dialog given up on locks nothing.
    const LockStatuses before = ReadLockStatuses();
    tray()->lockAction()->trigger();
    QCOMPARE(ReadLockStatuses(), before);
    QVERIFY(m_boxes.isEmpty());

    m_chosen = m_files.filePath(QStringLiteral("chosen.txt"));
    QFile file(m_chosen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    tray()->lockAction()->trigger();
    QCOMPARE(ReadLockStatuses().value(QFile::encodeName(m_chosen), -1), int(StatusLocked));
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes.first().text, QStringLiteral("Operation successful!"));

    // Choosing it again does not unlock it.
    tray()->lockAction()->trigger();
    QCOMPARE(ReadLockStatuses().value(QFile::encodeName(m_chosen), -1), int(StatusLocked));
    QVERIFY(m_boxes.last().text.contains(QStringLiteral("locked already")));
}

void tst_TrayIcon::backUpAskedForTheAccountFirst()
{
    // The account is still the default one: the settings tab comes first.
    window()->hide();
    m_chosen = m_files.filePath(QStringLiteral("backup.txt"));
    QFile file(m_chosen);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    tray()->uploadAction()->trigger();
    QVERIFY(window()->isVisible());
    QCOMPARE(window()->findChild<QTabWidget *>(QStringLiteral("tabWidget"))->currentIndex(), 2);
}

void tst_TrayIcon::quitEndsTheEventLoop()
{
    // A visible window that only hides when closed must not hold the end up.
    tray()->showAction()->trigger();
    QVERIFY(window()->isVisible());
    QTimer::singleShot(0, tray()->quitAction(), &QAction::trigger);
    // A loop that did not end would run into the test's timeout.
    QCOMPARE(QCoreApplication::exec(), 0);
}

int main(int argc, char **argv)
{
    InProcessKeycrate::prepareFolder(QByteArray());
    {
        // The account a fresh installation comes with.
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                           QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
        settings.setValue(QStringLiteral("user"), QByteArray("guest"));
        settings.setValue(QStringLiteral("password"), QByteArray("ferny"));
    }
    desktopStarted() = desktop().start(true);
    if (desktopStarted()) {
        qputenv("DISPLAY", desktop().display().toLocal8Bit());
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    return InProcessKeycrate::exec<tst_TrayIcon>(argc, argv);
}

#include "tst_TrayIcon.moc"
