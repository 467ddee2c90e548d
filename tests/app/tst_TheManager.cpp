#include "ApplicationFolder.h"
#include "FakeQuorvane.h"
#include "KeyRing.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "TheManager.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QTranslator>
#include <QTreeWidget>

using Platform::MessageBoxes;

class tst_TheManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void widgetTreeNamesAndGeometry();
    void everyTextFitsAtALargeFont();
    void textsShortcutsAndHeaders();
    void toolbarImagesFromTheWorkingFolderOrBuiltIn();
    void rowsAreSortedByBytesWithTheirColours();
    void clearUnlockOnTheFilesTab();
    void clearUnlockOnTheOtherTabs();
    void shortcutsWorkFromEveryTab_data();
    void shortcutsWorkFromEveryTab();
    void theDefaultAccountIsExactlyGuestAndFerny_data();
    void theDefaultAccountIsExactlyGuestAndFerny();
    void settingsGoThroughTheLibrary();
    void withoutTheLibraryTheSettingsStayAsTheyAre();
    void theServerAddressIsCheckedBeforeItIsSaved();
    void anEmptyOrFinishedListStartsNoRun();
    void aPathTwiceMarksItsFirstRow();
    void theButtonComparesTheTranslatedCancel();
    void progressLeavesTheBarAloneWhileMinimized();
    void noKeyIsMadeWhileTheServerCannotBeAsked();
    void aLockedKeyIsAskedForBeforeAnUpload();

private:
    QByteArray makeFile(const QString &name);
    void writeList(const QByteArray &content);
    template<typename T> T *child(const char *name) const
    {
        return m_window->findChild<T *>(QLatin1String(name));
    }
    QTreeWidget *lockedList() const { return child<QTreeWidget>("treeWidget"); }
    QTreeWidget *uploadList() const { return child<QTreeWidget>("treeWidget_2"); }
    QTabWidget *tabs() const { return child<QTabWidget>("tabWidget"); }
    QStringList column(QTreeWidget *tree, int index) const;

    std::unique_ptr<QTemporaryDir> m_application;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<TheManager> m_window;
    QList<MessageBoxes::Box> m_boxes;
    FakeQuorvane m_quorvane;
};

void tst_TheManager::init()
{
    ForgetLocks();
    m_application = std::make_unique<QTemporaryDir>();
    m_files = std::make_unique<QTemporaryDir>();
    setApplicationFolder(m_application->path());
    m_boxes.clear();
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return QMessageBox::Ok;
    });
    m_window = std::make_unique<TheManager>();
    m_quorvane = FakeQuorvane();
}

void tst_TheManager::cleanup()
{
    m_window.reset();
    ForgetLocks();
    MessageBoxes::setAnswerer({});
}

QByteArray tst_TheManager::makeFile(const QString &name)
{
    QFile file(m_files->filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return QFile::encodeName(file.fileName());
}

void tst_TheManager::writeList(const QByteArray &content)
{
    QFile file(LockListPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

QStringList tst_TheManager::column(QTreeWidget *tree, int index) const
{
    QStringList texts;
    for (int row = 0; row < tree->topLevelItemCount(); ++row)
        texts.append(tree->topLevelItem(row)->text(index));
    return texts;
}

void tst_TheManager::widgetTreeNamesAndGeometry()
{
    QCOMPARE(m_window->objectName(), QStringLiteral("TheManager"));
    QCOMPARE(m_window->size(), QSize(587, 411));

    const struct
    {
        const char *name;
        const char *className;
        const char *parent;
    } widgets[] = {
        { "centralWidget", "QWidget", "TheManager" },
        { "tabWidget", "QTabWidget", "centralWidget" },
        { "treeWidget", "QTreeWidget", "tab" },
        { "treeWidget_2", "QTreeWidget", "Tab_2" },
        { "progressBar", "QProgressBar", "Tab_2" },
        { "uploadLabel", "QLabel", "Tab_2" },
        { "uploadButton", "QPushButton", "Tab_2" },
        { "passwordEdit", "QLineEdit", "tab_3" },
        { "userLabel", "QLabel", "tab_3" },
        { "passwordLabel", "QLabel", "tab_3" },
        { "groupBox", "QGroupBox", "tab_3" },
        { "radioButtonAll", "QRadioButton", "groupBox" },
        { "radioButtonMe", "QRadioButton", "groupBox" },
        { "radioButtonFriends", "QRadioButton", "groupBox" },
        { "label", "QLabel", "tab_3" },
        { "userEdit", "QLineEdit", "tab_3" },
        { "saveButton", "QPushButton", "tab_3" },
        { "statusBar", "QStatusBar", "TheManager" },
        { "toolBar", "QToolBar", "TheManager" },
    };
    for (const auto &expected : widgets) {
        const QWidget *widget = child<QWidget>(expected.name);
        QVERIFY2(widget, expected.name);
        QCOMPARE(widget->metaObject()->className(), expected.className);
        QCOMPARE(widget->parentWidget()->objectName(), QLatin1String(expected.parent));
    }
    QCOMPARE(tabs()->count(), 4);
    QCOMPARE(tabs()->widget(0)->objectName(), QStringLiteral("tab"));
    QCOMPARE(tabs()->widget(1)->objectName(), QStringLiteral("Tab_2"));
    QCOMPARE(tabs()->widget(2)->objectName(), QStringLiteral("tab_3"));
    QCOMPARE(tabs()->widget(3)->objectName(), QStringLiteral("restoreTab"));
    QCOMPARE(tabs()->currentIndex(), 0);
    QCOMPARE(m_window->centralWidget(), child<QWidget>("centralWidget"));
    QCOMPARE(m_window->statusBar(), child<QStatusBar>("statusBar"));
    QVERIFY(tabs()->widget(2)->layout());

    const struct
    {
        const char *name;
        const char *owner;
    } layouts[] = { { "horizontalLayout", "centralWidget" },
                    { "verticalLayout", "tab" },
                    { "verticalLayout_2", "Tab_2" } };
    for (const auto &expected : layouts) {
        const QLayout *layout = child<QLayout>(expected.name);
        QVERIFY2(layout, expected.name);
        QCOMPARE(layout->parentWidget()->objectName(), QLatin1String(expected.owner));
        QCOMPARE(layout->spacing(), 6);
        QCOMPARE(layout->contentsMargins(), QMargins(11, 11, 11, 11));
    }
    const QLayout *uploadColumn = child<QLayout>("verticalLayout_2");
    QCOMPARE(uploadColumn->itemAt(0)->widget(), uploadList());
    QCOMPARE(uploadColumn->itemAt(1)->widget(), child<QWidget>("progressBar"));
    QCOMPARE(uploadColumn->itemAt(2)->widget(), child<QWidget>("uploadLabel"));
    QCOMPARE(uploadColumn->itemAt(3)->widget(), child<QWidget>("uploadButton"));

    // Top to bottom as they were placed by hand before the tab had a layout.
    tabs()->setCurrentIndex(2);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    const auto top = [this](const char *name) { return child<QWidget>(name)->geometry().top(); };
    QVERIFY(top("radioButtonAll") < top("radioButtonFriends"));
    QVERIFY(top("radioButtonFriends") < top("radioButtonMe"));
    QVERIFY(top("userEdit") < top("passwordEdit"));
    QVERIFY(top("passwordEdit") < top("groupBox"));
    QVERIFY(top("groupBox") < top("label"));
    QVERIFY(top("label") < top("saveButton"));
    for (const char *name : { "radioButtonAll", "radioButtonMe", "radioButtonFriends" })
        QVERIFY(child<QRadioButton>(name)->font().bold());
    QCOMPARE(child<QLineEdit>("passwordEdit")->echoMode(), QLineEdit::PasswordEchoOnEdit);
    QVERIFY(!child<QPushButton>("saveButton")->isFlat());
    QCOMPARE(child<QProgressBar>("progressBar")->value(), 0);

    for (QTreeWidget *tree : { lockedList(), uploadList() }) {
        QCOMPARE(tree->columnCount(), 2);
        QCOMPARE(tree->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(!tree->rootIsDecorated());
        QVERIFY(!tree->itemsExpandable());
        QVERIFY(!tree->expandsOnDoubleClick());
        QCOMPARE(tree->header()->defaultSectionSize(), 64);
        QCOMPARE(tree->topLevelItemCount(), 0);
    }
    QCOMPARE(lockedList()->selectionMode(), QAbstractItemView::ExtendedSelection);
    QCOMPARE(uploadList()->selectionMode(), QAbstractItemView::SingleSelection);

    const QToolBar *toolBar = child<QToolBar>("toolBar");
    QVERIFY(!toolBar->isMovable());
    QVERIFY(!toolBar->isFloatable());
    QCOMPARE(m_window->toolBarArea(const_cast<QToolBar *>(toolBar)), Qt::TopToolBarArea);
    QCOMPARE(toolBar->actions(),
             QList<QAction *>({ child<QAction>("actionRefresh"),
                                child<QAction>("actionOnline_backup_share"),
                                child<QAction>("actionUnlock_file") }));
}

void tst_TheManager::everyTextFitsAtALargeFont()
{
    const QFont normal = QApplication::font();
    QFont large = normal;
    large.setPointSize(16);
    QApplication::setFont(large);
    TheManager window;
    QApplication::setFont(normal);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTabWidget *tabWidget = window.findChild<QTabWidget *>(QStringLiteral("tabWidget"));
    for (int tab = 0; tab < tabWidget->count(); ++tab) {
        tabWidget->setCurrentIndex(tab);
        QCoreApplication::processEvents();
        int checked = 0;
        for (QWidget *widget : window.findChildren<QWidget *>()) {
            if (!widget->isVisible()
                || !(qobject_cast<QLabel *>(widget) || qobject_cast<QAbstractButton *>(widget)))
                continue;
            const QSize hint = widget->sizeHint();
            QVERIFY2(widget->width() >= hint.width() && widget->height() >= hint.height(),
                     qPrintable(QStringLiteral("%1 on tab %2: %3x%4, needs %5x%6")
                                    .arg(widget->objectName())
                                    .arg(tab)
                                    .arg(widget->width())
                                    .arg(widget->height())
                                    .arg(hint.width())
                                    .arg(hint.height())));
            ++checked;
        }
        QVERIFY(checked > 0);
    }
}

void tst_TheManager::textsShortcutsAndHeaders()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Lock my files"));
    const struct
    {
        const char *name;
        const char *text;
        const char *toolTip;
        const char *shortcut;
    } actions[] = {
        { "actionRefresh", "Refresh", "Refresh list of locked files", "Ctrl+R" },
        { "actionOnline_backup_share", "Online backup/share", "Online backup or share this file",
          "Ctrl+U" },
        { "actionUnlock_file", "Clear/Unlock", "Clear/Unlock selection", "" },
    };
    for (const auto &expected : actions) {
        const QAction *action = child<QAction>(expected.name);
        QCOMPARE(action->text(), QLatin1String(expected.text));
        QCOMPARE(action->toolTip(), QLatin1String(expected.toolTip));
        QCOMPARE(action->shortcut(), QKeySequence(QLatin1String(expected.shortcut)));
    }
    QCOMPARE(tabs()->tabText(0), QStringLiteral("Files list"));
    QCOMPARE(tabs()->tabText(1), QStringLiteral("Online backup"));
    QCOMPARE(tabs()->tabText(2), QStringLiteral("Settings"));
    QCOMPARE(child<QLabel>("uploadLabel")->text(), QString());
    QCOMPARE(child<QPushButton>("uploadButton")->text(), QStringLiteral("Upload files"));
    QCOMPARE(child<QLabel>("userLabel")->text(), QStringLiteral("User:"));
    QCOMPARE(child<QLabel>("passwordLabel")->text(), QStringLiteral("Password:"));
    QCOMPARE(child<QGroupBox>("groupBox")->title(), QStringLiteral("Default access"));
    QCOMPARE(child<QRadioButton>("radioButtonAll")->text(), QStringLiteral("Upload for all"));
    QCOMPARE(child<QRadioButton>("radioButtonMe")->text(), QStringLiteral("Upload for me"));
    QCOMPARE(child<QRadioButton>("radioButtonFriends")->text(),
             QStringLiteral("Upload for friends"));
    QCOMPARE(child<QPushButton>("saveButton")->text(), QStringLiteral("Save settings"));
    QCOMPARE(child<QToolBar>("toolBar")->windowTitle(), QStringLiteral("toolBar"));

    const QLabel *label = child<QLabel>("label");
    QCOMPARE(label->textFormat(), Qt::RichText);
    QVERIFY(!label->openExternalLinks());
    QVERIFY(
        label->text().contains(QStringLiteral("To use backup feature you need a free account on")));
    QVERIFY(label->text().contains(QStringLiteral("font-size:8pt")));
    QVERIFY(label->text().contains(QStringLiteral("color:#0000ff")));
    QCOMPARE(label->text().count(QStringLiteral("<p align=\"center\"")), 2);

    for (QTreeWidget *tree : { lockedList(), uploadList() }) {
        QCOMPARE(tree->headerItem()->text(0), QStringLiteral("Status"));
        QCOMPARE(tree->headerItem()->text(1), QStringLiteral("Path"));
    }
    for (int index : { 2, 1, 0 }) {
        tabs()->setCurrentIndex(index);
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Lock my files"));
    }
}

void tst_TheManager::toolbarImagesFromTheWorkingFolderOrBuiltIn()
{
    for (const char *name : { "actionRefresh", "actionOnline_backup_share", "actionUnlock_file" })
        QVERIFY2(!child<QAction>(name)->icon().isNull(), name);

    // An image at the relative path wins over the built-in one.
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("alldebug/png/toolbar")));
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("run")));
    QImage red(16, 16, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(root.filePath(QStringLiteral("alldebug/png/toolbar/refresh.png"))));
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root.filePath(QStringLiteral("run"))));
    TheManager other;
    QDir::setCurrent(saved);
    const auto colourOf = [](const QAction *action) {
        return action->icon().pixmap(16, 16).toImage().pixelColor(8, 8);
    };
    QCOMPARE(colourOf(other.findChild<QAction *>(QStringLiteral("actionRefresh"))),
             QColor(Qt::red));
    QVERIFY(colourOf(child<QAction>("actionRefresh")) != QColor(Qt::red));
    QVERIFY(!other.findChild<QAction *>(QStringLiteral("actionUnlock_file"))->icon().isNull());
}

void tst_TheManager::rowsAreSortedByBytesWithTheirColours()
{
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray notHeld = makeFile(QStringLiteral("c.txt"));
    const QByteArray gone = QFile::encodeName(m_files->filePath(QStringLiteral("gone.txt")));
    QCOMPARE(ToggleLock(b), 0);
    QCOMPARE(ToggleLock(a), 0);
    writeList(b + '\n' + a + '\n' + notHeld + '\n' + gone + '\n' + notHeld + '\n' + notHeld
              + "\n\n");

    m_window->UpdateLockedList();
    QCOMPARE(column(lockedList(), 1),
             QStringList({ QString(), QFile::decodeName(a), QFile::decodeName(b),
                           QFile::decodeName(notHeld), QFile::decodeName(gone) }));
    QCOMPARE(
        column(lockedList(), 0),
        QStringList({ QStringLiteral("Invalid"), QStringLiteral("Locked"), QStringLiteral("Locked"),
                      QStringLiteral("Unknown"), QStringLiteral("Invalid") }));
    const QList<QColor> colours
        = { QColor(255, 0, 0, 64), QColor(0, 255, 0, 64), QColor(0, 255, 0, 64),
            QColor(255, 0, 0, 64), QColor(255, 0, 0, 64) };
    for (int row = 0; row < colours.size(); ++row) {
        const QBrush brush = lockedList()->topLevelItem(row)->background(0);
        QCOMPARE(brush.style(), Qt::SolidPattern);
        QCOMPARE(brush.color(), colours[row]);
        QCOMPARE(lockedList()->topLevelItem(row)->background(1).style(), Qt::NoBrush);
    }

    QVERIFY(QFile::remove(LockListPath()));
    m_window->UpdateLockedList();
    QCOMPARE(lockedList()->topLevelItemCount(), 0);
    QVERIFY(m_boxes.isEmpty());
}

void tst_TheManager::clearUnlockOnTheFilesTab()
{
    QAction *clearUnlock = child<QAction>("actionUnlock_file");
    clearUnlock->trigger();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].kind, MessageBoxes::Kind::Information);
    QCOMPARE(m_boxes[0].parent, m_window.get());
    QCOMPARE(m_boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("Please select one or more items!"));

    const QByteArray locked = makeFile(QStringLiteral("locked.txt"));
    const QByteArray unknown = makeFile(QStringLiteral("unknown.txt"));
    const QByteArray other = makeFile(QStringLiteral("other.txt"));
    QCOMPARE(ToggleLock(locked), 0);
    writeList(locked + '\n' + unknown + '\n' + other + '\n');
    m_window->UpdateLockedList();
    QCOMPARE(column(lockedList(), 0),
             QStringList({ QStringLiteral("Locked"), QStringLiteral("Unknown"),
                           QStringLiteral("Unknown") }));

    lockedList()->topLevelItem(0)->setSelected(true);
    lockedList()->topLevelItem(2)->setSelected(true);
    clearUnlock->trigger();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(column(lockedList(), 1),
             QStringList({ QFile::decodeName(other), QFile::decodeName(unknown) }));
    QCOMPARE(column(lockedList(), 0),
             QStringList({ QStringLiteral("Unknown"), QStringLiteral("Locked") }));
}

void tst_TheManager::clearUnlockOnTheOtherTabs()
{
    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    QCOMPARE(ToggleLock(a), 0);
    m_window->UpdateLockedList();
    lockedList()->topLevelItem(0)->setSelected(true);
    m_window->CopySelectedItemsForUploading();
    QCOMPARE(tabs()->currentIndex(), 1);
    QCOMPARE(uploadList()->topLevelItemCount(), 1);

    child<QAction>("actionUnlock_file")->trigger();
    QCOMPARE(uploadList()->topLevelItemCount(), 0);
    QCOMPARE(ReadLockStatuses().value(a), int(StatusLocked));
    QVERIFY(m_boxes.isEmpty());

    tabs()->setCurrentIndex(2);
    child<QAction>("actionUnlock_file")->trigger();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].parent, m_window.get());
    QCOMPARE(m_boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("This action applied only for selected items!"));
    QCOMPARE(ReadLockStatuses().value(a), int(StatusLocked));
}

void tst_TheManager::shortcutsWorkFromEveryTab_data()
{
    QTest::addColumn<int>("tab");
    QTest::newRow("files list") << 0;
    QTest::newRow("online backup") << 1;
    QTest::newRow("settings") << 2;
}

void tst_TheManager::shortcutsWorkFromEveryTab()
{
    QFETCH(int, tab);
    m_window->show();
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));

    // Ctrl+U with nothing selected asks for a selection.
    tabs()->setCurrentIndex(tab);
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].title, QStringLiteral("Select items"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("Please select items for uploading!"));
    QCOMPARE(tabs()->currentIndex(), tab);

    const QByteArray a = makeFile(QStringLiteral("a.txt"));
    const QByteArray b = makeFile(QStringLiteral("b.txt"));
    QCOMPARE(ToggleLock(b), 0);
    writeList(a + '\n' + b + '\n');
    QTest::keyClick(m_window.get(), Qt::Key_R, Qt::ControlModifier);
    QCOMPARE(column(lockedList(), 1), QStringList({ QFile::decodeName(a), QFile::decodeName(b) }));

    lockedList()->topLevelItem(1)->setSelected(true);
    lockedList()->topLevelItem(0)->setSelected(true);
    QTest::keyClick(m_window.get(), Qt::Key_U, Qt::ControlModifier);
    QCOMPARE(tabs()->currentIndex(), 1);
    QCOMPARE(column(uploadList(), 1), QStringList({ QFile::decodeName(b), QFile::decodeName(a) }));
    QCOMPARE(column(uploadList(), 0), QStringList(2, QStringLiteral("Not uploaded")));
    QCOMPARE(uploadList()->topLevelItem(1)->background(0).color(), QColor(0, 255, 255, 64));
    QCOMPARE(m_boxes.size(), 1);
}

void tst_TheManager::theDefaultAccountIsExactlyGuestAndFerny_data()
{
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("setUp");
    QTest::newRow("the default pair") << QByteArray("guest") << QByteArray("ferny") << false;
    QTest::newRow("a capital G") << QByteArray("Guest") << QByteArray("ferny") << true;
    QTest::newRow("another password") << QByteArray("guest") << QByteArray("fern") << true;
    QTest::newRow("a trailing blank") << QByteArray("guest ") << QByteArray("ferny") << true;
    QTest::newRow("nothing stored") << QByteArray() << QByteArray() << true;
}

void tst_TheManager::theDefaultAccountIsExactlyGuestAndFerny()
{
    QFETCH(QByteArray, user);
    QFETCH(QByteArray, password);
    QFETCH(bool, setUp);
    m_window->setInterface(&m_quorvane);
    m_quorvane.user = user;
    m_quorvane.password = password;
    tabs()->setCurrentIndex(1);
    QCOMPARE(m_window->LoadSettings(), setUp);
    QCOMPARE(tabs()->currentIndex(), setUp ? 1 : 2);
    QCOMPARE(child<QLineEdit>("userEdit")->text(), QString::fromUtf8(user));
    QCOMPARE(child<QLineEdit>("passwordEdit")->text(), QString::fromUtf8(password));
    QVERIFY(m_boxes.isEmpty());
}

void tst_TheManager::settingsGoThroughTheLibrary()
{
    m_window->setInterface(&m_quorvane);
    QLineEdit *user = child<QLineEdit>("userEdit");
    QLineEdit *password = child<QLineEdit>("passwordEdit");
    QRadioButton *all = child<QRadioButton>("radioButtonAll");
    QRadioButton *me = child<QRadioButton>("radioButtonMe");
    QRadioButton *friends = child<QRadioButton>("radioButtonFriends");

    // No button chosen yet: "only me".
    m_quorvane.defaultAccess = 7;
    QTest::mouseClick(child<QPushButton>("saveButton"), Qt::LeftButton);
    QCOMPARE(m_quorvane.defaultAccess, 0);
    QCOMPARE(m_quorvane.user, QByteArray(""));
    QCOMPARE(m_quorvane.password, QByteArray(""));
    QCOMPARE(m_quorvane.calls, QList<QByteArray>({ "setDefaultAccess", "setCredentials" }));

    const struct
    {
        int stored;
        QRadioButton *shown;
    } levels[] = { { -2, friends }, { 0, me }, { 2, all } };
    for (const auto &level : levels) {
        m_quorvane.defaultAccess = level.stored;
        m_window->LoadSettings();
        QVERIFY(level.shown->isChecked());
        m_quorvane.defaultAccess = 99;
        m_window->SaveSettings();
        QCOMPARE(m_quorvane.defaultAccess, level.stored);
    }
    // A value of no button leaves the choice shown as it was.
    m_quorvane.defaultAccess = 1;
    m_window->LoadSettings();
    QVERIFY(all->isChecked());
    me->setChecked(true);
    m_window->SaveSettings();
    QCOMPARE(m_quorvane.defaultAccess, 0);

    // UTF-8 both ways, and the stored values replace unsaved edits.
    user->setText(QStringLiteral("J\u00fcrgen \u03a9"));
    password->setText(QStringLiteral("p\u00e4ss w\u00f6rd"));
    m_window->SaveSettings();
    QCOMPARE(m_quorvane.user, QByteArray("J\xc3\xbcrgen \xce\xa9"));
    QCOMPARE(m_quorvane.password, QByteArray("p\xc3\xa4ss w\xc3\xb6rd"));
    user->setText(QStringLiteral("typed"));
    password->clear();
    QVERIFY(m_window->LoadSettings());
    QCOMPARE(user->text(), QStringLiteral("J\u00fcrgen \u03a9"));
    QCOMPARE(password->text(), QStringLiteral("p\u00e4ss w\u00f6rd"));
    QVERIFY(m_boxes.isEmpty());

    // Settings that did not reach the file are an error, said in a box.
    m_quorvane.writeResult = 99;
    m_window->SaveSettings();
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].kind, MessageBoxes::Kind::Critical);
    QVERIFY(m_boxes[0].text.contains(QStringLiteral("could not be saved")));
}

void tst_TheManager::withoutTheLibraryTheSettingsStayAsTheyAre()
{
    child<QLineEdit>("userEdit")->setText(QStringLiteral("typed"));
    QVERIFY(m_window->LoadSettings());
    QCOMPARE(child<QLineEdit>("userEdit")->text(), QStringLiteral("typed"));
    QCOMPARE(tabs()->currentIndex(), 0);
    m_window->SaveSettings();
    QVERIFY(m_quorvane.calls.isEmpty());
}

void tst_TheManager::anEmptyOrFinishedListStartsNoRun()
{
    m_window->setInterface(&m_quorvane);
    QSignalSpy uploadItem(m_window.get(), &TheManager::UploadItem);
    QPushButton *button = child<QPushButton>("uploadButton");
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(m_boxes.size(), 2);
    QCOMPARE(m_boxes[0].title, QStringLiteral("Error"));
    QCOMPARE(m_boxes[0].text, QStringLiteral("Nothing to upload!"));
    QCOMPARE(m_boxes[1].title, QStringLiteral("KEYCRATE"));
    QCOMPARE(m_boxes[1].text, QStringLiteral("No valid items for uploading!"));
    QCOMPARE(m_boxes[1].parent, m_window.get());
    QCOMPARE(button->text(), QStringLiteral("Upload files"));

    // A finished first row ends the run before it starts, whatever follows.
    m_window->MarkUploading(QStringLiteral("/done"));
    m_window->RecordUploadResult(0);
    m_window->MarkUploading(QStringLiteral("/waiting"));
    QVERIFY(m_window->RecordUploadResult(99));
    m_window->MarkUploading(QStringLiteral("/waiting"));
    uploadList()->topLevelItem(1)->setText(0, QStringLiteral("Not uploaded"));
    m_boxes.clear();
    QVERIFY(!m_window->StartUpload());
    QCOMPARE(m_boxes.size(), 1);
    QCOMPARE(m_boxes[0].text, QStringLiteral("No valid items for uploading!"));
    QVERIFY(!m_window->NextUploadItem());
    QCOMPARE(uploadItem.size(), 0);
}

void tst_TheManager::aPathTwiceMarksItsFirstRow()
{
    m_window->MarkUploading(QStringLiteral("/a"));
    m_window->MarkUploading(QStringLiteral("/b \"x\""));
    QCOMPARE(child<QLabel>("uploadLabel")->text(), QStringLiteral("Uploading \"/b \"x\"\""));
    m_window->MarkUploading(QStringLiteral("/a"));
    QCOMPARE(column(uploadList(), 1),
             QStringList({ QStringLiteral("/a"), QStringLiteral("/b \"x\"") }));
    QVERIFY(m_window->RecordUploadResult(0));
    QVERIFY(m_window->RecordUploadResult(100));
    QVERIFY(m_window->RecordUploadResult(0));
    QCOMPARE(column(uploadList(), 0),
             QStringList({ QStringLiteral("Done"), QStringLiteral("Error") }));
    QCOMPARE(uploadList()->topLevelItem(1)->background(0).color(), QColor(255, 0, 0, 64));
    QCOMPARE(child<QLabel>("uploadLabel")->text(), QString());
    // A result nobody waits for marks nothing.
    QVERIFY(!m_window->RecordUploadResult(99));
}

namespace {

// A translation of the upload button's texts, as an installed catalogue gives.
class ButtonTranslator : public QTranslator
{
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        if (qstrcmp(context, "TheManager") != 0)
            return QString();
        if (qstrcmp(source, "Cancel") == 0)
            return QStringLiteral("Abbrechen");
        if (qstrcmp(source, "Upload") == 0)
            return QStringLiteral("Hochladen");
        return QString();
    }
    bool isEmpty() const override { return false; }
};

} // namespace

void tst_TheManager::theButtonComparesTheTranslatedCancel()
{
    ButtonTranslator translator;
    QVERIFY(QCoreApplication::installTranslator(&translator));
    m_window->setInterface(&m_quorvane);
    QPushButton *button = child<QPushButton>("uploadButton");
    m_window->ShowUploadRunning();
    QCOMPARE(button->text(), QStringLiteral("Abbrechen"));
    QTest::mouseClick(button, Qt::LeftButton);
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(m_quorvane.cancelCalls, 1);
    QCOMPARE(button->text(), QStringLiteral("Hochladen"));
    QVERIFY(m_boxes.isEmpty());
}

void tst_TheManager::progressLeavesTheBarAloneWhileMinimized()
{
    QProgressBar *bar = child<QProgressBar>("progressBar");
    m_window->show();
    m_window->ShowUploadProgress(5, 10);
    QCOMPARE(bar->maximum(), 10);
    QCOMPARE(bar->value(), 5);
    m_window->showMinimized();
    QVERIFY(m_window->isMinimized());
    m_window->ShowUploadProgress(7, 20);
    QCOMPARE(bar->maximum(), 10);
    QCOMPARE(bar->value(), 5);
    m_window->showNormal();

    // A size the transfer does not know shows as busy, until the run ends.
    m_window->ShowUploadProgress(300, -1);
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 0);
    m_window->ResetUploadControls();
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(child<QPushButton>("uploadButton")->text(), QStringLiteral("Upload"));
}

void tst_TheManager::theServerAddressIsCheckedBeforeItIsSaved()
{
    m_window->setInterface(&m_quorvane);
    QLineEdit *server = child<QLineEdit>("serverUrlEdit");
    QVERIFY(server && server->parentWidget()->objectName() == QLatin1String("tab_3"));
    const auto stored = [] {
        return QSettings(QSettings::NativeFormat, QSettings::UserScope, "keycrate.org", "Quorvane")
            .value("server_url");
    };
    server->setText(" https://backup.example.org:8477/ ");
    QTest::mouseClick(child<QPushButton>("saveButton"), Qt::LeftButton);
    QVERIFY(m_boxes.isEmpty());
    QCOMPARE(stored().toString(), QStringLiteral("https://backup.example.org:8477"));
    m_window->LoadSettings();
    QCOMPARE(server->text(), QStringLiteral("https://backup.example.org:8477"));

    // Refused whole: neither the address nor the account is saved.
    for (const char *wrong : { "ftp://backup.example.org", "backup.example.org", "http://",
                               "http://backup.example.org/path", "http://a b", "http://h:0",
                               "http://h:99999", "https://user@backup.example.org" }) {
        m_quorvane.calls.clear();
        m_boxes.clear();
        tabs()->setCurrentIndex(0);
        server->setText(QString::fromLatin1(wrong));
        m_window->SaveSettings();
        QVERIFY2(m_boxes.size() == 1, wrong);
        QVERIFY(m_boxes.front().text.contains(QStringLiteral("server address")));
        QCOMPARE(tabs()->currentIndex(), 2);
        QVERIFY(m_quorvane.calls.isEmpty());
        QCOMPARE(stored().toString(), QStringLiteral("https://backup.example.org:8477"));
    }
    // Empty: the library's own default again.
    server->clear();
    m_window->SaveSettings();
    QVERIFY(!stored().isValid());
}

void tst_TheManager::noKeyIsMadeWhileTheServerCannotBeAsked()
{
    // A second key beside one the server may hold would split the backups.
    QFile::remove(Quorvane::KeyRing::keyFilePath());
    MessageBoxes::setAnswerer([&](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        return QMessageBox::Yes;
    });
    m_window->setInterface(&m_quorvane);
    QCheckBox *encrypt = child<QCheckBox>("encryptCheckBox");
    QTest::mouseClick(encrypt, Qt::LeftButton);
    QCOMPARE(m_boxes.size(), 1);
    QVERIFY(m_boxes[0].text.contains("nothing was changed"));
    QVERIFY(!m_quorvane.calls.contains("addEvent"));
    QVERIFY(!encrypt->isChecked() && encrypt->isEnabled());
    QVERIFY(!QFile::exists(Quorvane::KeyRing::keyFilePath()));
}

void tst_TheManager::aLockedKeyIsAskedForBeforeAnUpload()
{
    m_quorvane.keyState = Quorvane::KeyLocked;
    m_quorvane.keyPassphrase = "right";
    QString answer = "wrong";
    MessageBoxes::setAnswerer([&](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        if (box.entered)
            *box.entered = answer;
        return QMessageBox::Ok;
    });
    m_window->setInterface(&m_quorvane);
    m_window->MarkUploading(QStringLiteral("/waiting"));
    uploadList()->topLevelItem(0)->setText(0, QStringLiteral("Not uploaded"));
    QSignalSpy uploadItem(m_window.get(), &TheManager::UploadItem);
    QVERIFY(!m_window->StartUpload());
    QVERIFY(m_boxes.last().text.contains("Wrong passphrase"));
    QCOMPARE(uploadItem.size(), 0);
    answer = "right";
    QVERIFY(m_window->StartUpload());
    QCOMPARE(uploadItem.size(), 1);
    // Once a run: the next upload asks nothing.
    const qsizetype boxes = m_boxes.size();
    QVERIFY(m_window->UnlockKey());
    QCOMPARE(m_boxes.size(), boxes);
}

QTEST_MAIN(tst_TheManager)
#include "tst_TheManager.moc"
