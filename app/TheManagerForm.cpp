#include "TheManagerForm.h"

#include <QAction>
#include <QApplication>
#include <QFileInfo>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

static void initToolbarResources()
{
    // The images live in keycrate's own static library.
    Q_INIT_RESOURCE(toolbar);
}

namespace {

// A toolbar image from the working folder when it is there, else the one
// built into the program, so the toolbar is never blank.
QIcon toolbarIcon(const char *relativePath, const char *builtIn)
{
    const QString path = QString::fromLatin1(relativePath);
    return QIcon(QFileInfo::exists(path) ? path : QString::fromLatin1(builtIn));
}

void setUpList(QTreeWidget *tree, const char *name, QAbstractItemView::SelectionMode selection)
{
    tree->setObjectName(QString::fromLatin1(name));
    tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tree->setSelectionMode(selection);
    tree->setRootIsDecorated(false);
    tree->setItemsExpandable(false);
    tree->setExpandsOnDoubleClick(false);
    tree->setColumnCount(2);
    tree->header()->setDefaultSectionSize(64);
}

QRadioButton *boldRadioButton(QGroupBox *parent, const char *name, int x, int y, int width)
{
    auto *button = new QRadioButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(QRect(x, y, width, 18));
    QFont font;
    font.setBold(true);
    button->setFont(font);
    return button;
}

} // namespace

void TheManagerForm::setupUi(QMainWindow *TheManager)
{
    initToolbarResources();
    if (TheManager->objectName().isEmpty())
        TheManager->setObjectName(QStringLiteral("TheManager"));
    TheManager->resize(587, 411);

    actionRefresh = new QAction(TheManager);
    actionRefresh->setObjectName(QStringLiteral("actionRefresh"));
    actionRefresh->setIcon(
        toolbarIcon("../alldebug/png/toolbar/refresh.png", ":/toolbar/refresh.png"));
    actionOnline_backup_share = new QAction(TheManager);
    actionOnline_backup_share->setObjectName(QStringLiteral("actionOnline_backup_share"));
    actionOnline_backup_share->setIcon(
        toolbarIcon("../alldebug/png/toolbar/remote_upload.png", ":/toolbar/remote_upload.png"));
    actionUnlock_file = new QAction(TheManager);
    actionUnlock_file->setObjectName(QStringLiteral("actionUnlock_file"));
    actionUnlock_file->setIcon(
        toolbarIcon("../alldebug/png/toolbar/local_remove.png", ":/toolbar/local_remove.png"));

    centralWidget = new QWidget(TheManager);
    centralWidget->setObjectName(QStringLiteral("centralWidget"));
    horizontalLayout = new QHBoxLayout(centralWidget);
    horizontalLayout->setSpacing(6);
    horizontalLayout->setContentsMargins(11, 11, 11, 11);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    tabWidget = new QTabWidget(centralWidget);
    tabWidget->setObjectName(QStringLiteral("tabWidget"));

    tab = new QWidget();
    tab->setObjectName(QStringLiteral("tab"));
    verticalLayout = new QVBoxLayout(tab);
    verticalLayout->setSpacing(6);
    verticalLayout->setContentsMargins(11, 11, 11, 11);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    treeWidget = new QTreeWidget(tab);
    setUpList(treeWidget, "treeWidget", QAbstractItemView::ExtendedSelection);
    verticalLayout->addWidget(treeWidget);
    tabWidget->addTab(tab, QString());

    Tab_2 = new QWidget();
    Tab_2->setObjectName(QStringLiteral("Tab_2"));
    verticalLayout_2 = new QVBoxLayout(Tab_2);
    verticalLayout_2->setSpacing(6);
    verticalLayout_2->setContentsMargins(11, 11, 11, 11);
    verticalLayout_2->setObjectName(QStringLiteral("verticalLayout_2"));
    treeWidget_2 = new QTreeWidget(Tab_2);
    setUpList(treeWidget_2, "treeWidget_2", QAbstractItemView::SingleSelection);
    verticalLayout_2->addWidget(treeWidget_2);
    progressBar = new QProgressBar(Tab_2);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setValue(0);
    verticalLayout_2->addWidget(progressBar);
    uploadLabel = new QLabel(Tab_2);
    uploadLabel->setObjectName(QStringLiteral("uploadLabel"));
    verticalLayout_2->addWidget(uploadLabel);
    uploadButton = new QPushButton(Tab_2);
    uploadButton->setObjectName(QStringLiteral("uploadButton"));
    verticalLayout_2->addWidget(uploadButton);
    tabWidget->addTab(Tab_2, QString());

    tab_3 = new QWidget();
    tab_3->setObjectName(QStringLiteral("tab_3"));
    passwordEdit = new QLineEdit(tab_3);
    passwordEdit->setObjectName(QStringLiteral("passwordEdit"));
    passwordEdit->setGeometry(QRect(220, 65, 133, 20));
    passwordEdit->setEchoMode(QLineEdit::PasswordEchoOnEdit);
    userLabel = new QLabel(tab_3);
    userLabel->setObjectName(QStringLiteral("userLabel"));
    userLabel->setGeometry(QRect(162, 40, 51, 16));
    passwordLabel = new QLabel(tab_3);
    passwordLabel->setObjectName(QStringLiteral("passwordLabel"));
    passwordLabel->setGeometry(QRect(162, 66, 50, 16));
    groupBox = new QGroupBox(tab_3);
    groupBox->setObjectName(QStringLiteral("groupBox"));
    groupBox->setGeometry(QRect(163, 116, 222, 61));
    radioButtonAll = boldRadioButton(groupBox, "radioButtonAll", 90, 10, 101);
    radioButtonMe = boldRadioButton(groupBox, "radioButtonMe", 90, 40, 101);
    radioButtonFriends = boldRadioButton(groupBox, "radioButtonFriends", 90, 25, 131);
    label = new QLabel(tab_3);
    label->setObjectName(QStringLiteral("label"));
    label->setGeometry(QRect(140, 186, 281, 51));
    label->setTextFormat(Qt::RichText);
    userEdit = new QLineEdit(tab_3);
    userEdit->setObjectName(QStringLiteral("userEdit"));
    userEdit->setGeometry(QRect(220, 39, 133, 20));
    saveButton = new QPushButton(tab_3);
    saveButton->setObjectName(QStringLiteral("saveButton"));
    saveButton->setGeometry(QRect(240, 250, 75, 23));
    saveButton->setFlat(false);
    tabWidget->addTab(tab_3, QString());

    horizontalLayout->addWidget(tabWidget);
    TheManager->setCentralWidget(centralWidget);

    statusBar = new QStatusBar(TheManager);
    statusBar->setObjectName(QStringLiteral("statusBar"));
    TheManager->setStatusBar(statusBar);
    toolBar = new QToolBar(TheManager);
    toolBar->setObjectName(QStringLiteral("toolBar"));
    toolBar->setMovable(false);
    toolBar->setFloatable(false);
    TheManager->addToolBar(Qt::TopToolBarArea, toolBar);
    toolBar->addAction(actionRefresh);
    toolBar->addAction(actionOnline_backup_share);
    toolBar->addAction(actionUnlock_file);

    retranslateUi(TheManager);
    tabWidget->setCurrentIndex(0);
    QMetaObject::connectSlotsByName(TheManager);
}

void TheManagerForm::retranslateUi(QMainWindow *TheManager)
{
    TheManager->setWindowTitle(QApplication::translate("TheManager", "Lock my files"));
    actionRefresh->setText(QApplication::translate("TheManager", "Refresh"));
    actionRefresh->setToolTip(
        QApplication::translate("TheManager", "Refresh list of locked files"));
    actionRefresh->setShortcut(QKeySequence(QApplication::translate("TheManager", "Ctrl+R")));
    actionOnline_backup_share->setText(
        QApplication::translate("TheManager", "Online backup/share"));
    actionOnline_backup_share->setToolTip(
        QApplication::translate("TheManager", "Online backup or share this file"));
    actionOnline_backup_share->setShortcut(
        QKeySequence(QApplication::translate("TheManager", "Ctrl+U")));
    actionUnlock_file->setText(QApplication::translate("TheManager", "Clear/Unlock"));
    actionUnlock_file->setToolTip(QApplication::translate("TheManager", "Clear/Unlock selection"));
    tabWidget->setTabText(tabWidget->indexOf(tab),
                          QApplication::translate("TheManager", "Files list"));
    uploadLabel->setText(QString());
    uploadButton->setText(QApplication::translate("TheManager", "Upload files"));
    tabWidget->setTabText(tabWidget->indexOf(Tab_2),
                          QApplication::translate("TheManager", "Online backup"));
    userLabel->setText(QApplication::translate("TheManager", "User:"));
    passwordLabel->setText(QApplication::translate("TheManager", "Password:"));
    groupBox->setTitle(QApplication::translate("TheManager", "Default access"));
    radioButtonAll->setText(QApplication::translate("TheManager", "Upload for all"));
    radioButtonMe->setText(QApplication::translate("TheManager", "Upload for me"));
    radioButtonFriends->setText(QApplication::translate("TheManager", "Upload for friends"));
    label->setText(QApplication::translate(
        "TheManager",
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\" "
        "\"http://www.w3.org/TR/REC-html40/strict.dtd\">\n"
        "<html><head><meta name=\"qrichtext\" content=\"1\" /><style type=\"text/css\">\n"
        "p, li { white-space: pre-wrap; }\n"
        "</style></head><body style=\" font-size:8pt;\">\n"
        "<p align=\"center\" style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
        "margin-right:0px; -qt-block-indent:0; text-indent:0px;\">To use backup feature you "
        "need a free account on</p>\n"
        "<p align=\"center\" style=\" margin-top:0px; margin-bottom:0px; margin-left:0px; "
        "margin-right:0px; -qt-block-indent:0; text-indent:0px;\"><a "
        "href=\"https://www.keycrate.org\"><span style=\" text-decoration: underline; "
        "color:#0000ff;\">https://www.keycrate.org</span></a></p></body></html>"));
    saveButton->setText(QApplication::translate("TheManager", "Save settings"));
    tabWidget->setTabText(tabWidget->indexOf(tab_3),
                          QApplication::translate("TheManager", "Settings"));
    toolBar->setWindowTitle(QApplication::translate("TheManager", "toolBar"));
}
