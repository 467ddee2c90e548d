#pragma once

class QAction;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStatusBar;
class QTabWidget;
class QToolBar;
class QTreeWidget;
class QVBoxLayout;
class QWidget;

// The main window's widgets, built the way a form compiler builds them: all
// widgets in setupUi, every visible text in retranslateUi.
class TheManagerForm
{
public:
    QAction *actionRefresh;
    QAction *actionOnline_backup_share;
    QAction *actionUnlock_file;
    QWidget *centralWidget;
    QHBoxLayout *horizontalLayout;
    QTabWidget *tabWidget;
    QWidget *tab;
    QVBoxLayout *verticalLayout;
    QTreeWidget *treeWidget;
    QWidget *Tab_2;
    QVBoxLayout *verticalLayout_2;
    QTreeWidget *treeWidget_2;
    QProgressBar *progressBar;
    QLabel *uploadLabel;
    QPushButton *uploadButton;
    QWidget *tab_3;
    QLineEdit *passwordEdit;
    QLabel *userLabel;
    QLabel *passwordLabel;
    QGroupBox *groupBox;
    QRadioButton *radioButtonAll;
    QRadioButton *radioButtonMe;
    QRadioButton *radioButtonFriends;
    QLabel *label;
    QLineEdit *userEdit;
    QPushButton *saveButton;
    QStatusBar *statusBar;
    QToolBar *toolBar;

    void setupUi(QMainWindow *TheManager);
    void retranslateUi(QMainWindow *TheManager);
};
