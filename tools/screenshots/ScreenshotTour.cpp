#include "ScreenshotTour.h"

#include "IQuorvane.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "MyQApplication.h"
#include "RestoreTab.h"
#include "TheManager.h"
#include "TrayIcon.h"

#include <QAction>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <cstdio>
#include <memory>

namespace {

constexpr int UploadTimeoutMs = 120000;

template<typename T> T *child(TheManager *window, const char *name)
{
    return window->findChild<T *>(QLatin1String(name));
}

} // namespace

ScreenshotTour::ScreenshotTour(MyQApplication *application, QString outputFolder)
    : m_application(application)
    , m_window(application->mainWindow())
    , m_outputFolder(std::move(outputFolder))
{
}

bool ScreenshotTour::run(const QStringList &files, const QString &user, const QString &password)
{
    // A box would mean something went wrong: say so instead of waiting for a click.
    QString box;
    Platform::MessageBoxes::setAnswerer([&box](const Platform::MessageBoxes::Box &shown) {
        box = shown.title + QStringLiteral(": ") + shown.text;
        return QMessageBox::Ok;
    });
    if (!QDir().mkpath(m_outputFolder))
        return fail(QStringLiteral("cannot create ") + m_outputFolder);
    m_window->show();
    if (!QTest::qWaitForWindowExposed(m_window))
        return fail(QStringLiteral("the window did not come up"));

    // 1. Lock the files, see them on the Files list tab and pick them.
    for (const QString &file : files) {
        if (ToggleLock(QFile::encodeName(file)) != Quorvane::Success)
            return fail(QStringLiteral("cannot lock ") + file);
    }
    m_window->UpdateLockedList();
    auto *lockedList = child<QTreeWidget>(m_window, "treeWidget");
    lockedList->header()->resizeSection(0, 80);
    if (!save(0, QStringLiteral("files-list.png")))
        return false;
    for (int row = 0; row < lockedList->topLevelItemCount(); ++row)
        lockedList->topLevelItem(row)->setSelected(true);

    // 2. Enter the account on the Settings tab and save it.
    child<QLineEdit>(m_window, "userEdit")->setText(user);
    child<QLineEdit>(m_window, "passwordEdit")->setText(password);
    child<QRadioButton>(m_window, "radioButtonMe")->setChecked(true);
    if (!save(2, QStringLiteral("settings.png")))
        return false;
    QTest::mouseClick(child<QPushButton>(m_window, "saveButton"), Qt::LeftButton);

    // 3. Online backup/share (Ctrl+U), then Upload files, until every row is done.
    child<QAction>(m_window, "actionOnline_backup_share")->trigger();
    child<QTreeWidget>(m_window, "treeWidget_2")->header()->resizeSection(0, 80);
    QTest::mouseClick(child<QPushButton>(m_window, "uploadButton"), Qt::LeftButton);
    if (!waitForUploads())
        return false;
    if (!box.isEmpty())
        return fail(QStringLiteral("keycrate said ") + box);
    if (!save(1, QStringLiteral("online-backup.png")))
        return false;

    // 4. The Restore tab lists what went up.
    child<QTabWidget>(m_window, "tabWidget")->setCurrentIndex(3);
    auto *restoreTab = child<RestoreTab>(m_window, "restoreTab");
    if (!QTest::qWaitFor([restoreTab] { return !restoreTab->isBusy(); }, 60000))
        return fail(QStringLiteral("the backups were not listed"));
    if (child<QTreeWidget>(m_window, "restoreList")->topLevelItemCount() == 0)
        return fail(QStringLiteral("no backups listed"));
    auto *restoreList = child<QTreeWidget>(m_window, "restoreList");
    QTreeWidgetItem *upload = nullptr;
    QTreeWidgetItem *snapshot = nullptr;
    for (int row = 0; row < restoreList->topLevelItemCount(); ++row) {
        QTreeWidgetItem *item = restoreList->topLevelItem(row);
        QTreeWidgetItem *&first
            = item->text(0).startsWith(QLatin1String("Snapshot [")) ? snapshot : upload;
        if (!first)
            first = item;
    }
    if (!upload || !snapshot)
        return fail(QStringLiteral("no upload or no snapshot listed"));
    upload->setSelected(true);
    if (!save(3, QStringLiteral("restore.png")))
        return false;

    // 5. The snapshot of quorvane backup, opened and restored to ~/Restored.
    snapshot->setExpanded(true);
    if (!QTest::qWaitFor([restoreTab] { return !restoreTab->isBusy(); }, 60000)
        || snapshot->childCount() == 0)
        return fail(QStringLiteral("the snapshot's files were not listed"));
    const QString restored = QDir::home().filePath(QStringLiteral("Restored"));
    if (!QDir().mkpath(restored))
        return fail(QStringLiteral("cannot create ") + restored);
    RestoreTab::setFolderChooser([restored](QWidget *) { return restored; });
    restoreList->clearSelection();
    snapshot->setSelected(true);
    QTest::mouseClick(child<QPushButton>(m_window, "restoreToButton"), Qt::LeftButton);
    if (!QTest::qWaitFor([restoreTab] { return !restoreTab->isBusy(); }, 60000))
        return fail(QStringLiteral("the snapshot was not restored"));
    if (!box.isEmpty())
        return fail(QStringLiteral("keycrate said ") + box);
    restoreList->scrollToItem(snapshot, QAbstractItemView::PositionAtTop);
    if (!save(3, QStringLiteral("restore-snapshot.png")))
        return false;
    return saveTrayMenu(QStringLiteral("tray-menu.png"));
}

bool ScreenshotTour::saveTrayMenu(const QString &fileName)
{
    // Without a tray host the menu is the same; only the icon has no place.
    std::unique_ptr<TrayIcon> standIn;
    TrayIcon *tray = m_application->trayIcon();
    if (!tray) {
        standIn = std::make_unique<TrayIcon>();
        tray = standIn.get();
    }
    QMenu *menu = tray->menu();
    menu->popup(QPoint(0, 0));
    if (!QTest::qWaitForWindowExposed(menu))
        return fail(QStringLiteral("the tray menu did not come up"));
    menu->setActiveAction(tray->showAction());
    QTest::qWait(50);
    const QString path = m_outputFolder + QLatin1Char('/') + fileName;
    const bool saved = menu->grab().save(path);
    menu->hide();
    if (!saved)
        return fail(QStringLiteral("cannot write ") + path);
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool ScreenshotTour::waitForUploads()
{
    const auto *button = child<QPushButton>(m_window, "uploadButton");
    const QDeadlineTimer deadline(UploadTimeoutMs);
    while (button->text() != QLatin1String("Upload") && !deadline.hasExpired())
        QTest::qWait(20);
    const auto *uploadList = child<QTreeWidget>(m_window, "treeWidget_2");
    for (int row = 0; row < uploadList->topLevelItemCount(); ++row) {
        const QTreeWidgetItem *item = uploadList->topLevelItem(row);
        if (item->text(0) != QLatin1String("Done"))
            return fail(item->text(1) + QStringLiteral(" is not uploaded: ") + item->text(0));
    }
    return uploadList->topLevelItemCount() > 0 || fail(QStringLiteral("nothing was uploaded"));
}

bool ScreenshotTour::save(int tab, const QString &fileName)
{
    child<QTabWidget>(m_window, "tabWidget")->setCurrentIndex(tab);
    QTest::qWait(50); // let the tab paint
    const QString path = m_outputFolder + QLatin1Char('/') + fileName;
    if (!m_window->grab().save(path))
        return fail(QStringLiteral("cannot write ") + path);
    std::printf("%s\n", qPrintable(path));
    return true;
}

bool ScreenshotTour::fail(const QString &why)
{
    std::fprintf(stderr, "keycrate-screenshots: %s\n", qPrintable(why));
    return false;
}
