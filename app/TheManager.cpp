#include "TheManager.h"

#include "IQuorvane.h"
#include "KeySetup.h"
#include "LockProtectionTexts.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "RestoreTab.h"
#include "ServerAddressSetting.h"
#include "StatusBrushes.h"
#include "ui_TheManager.h"

#include <QAction>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTabWidget>
#include <QTreeWidget>

static void initToolbarResources()
{
    // The images live in keycrate's own static library.
    Q_INIT_RESOURCE(toolbar);
}

namespace {

void overrideIcon(QAction *action, const char *relativePath)
{
    const QString path = QString::fromLatin1(relativePath);
    if (QFileInfo::exists(path))
        action->setIcon(QIcon(path));
}

Q_LOGGING_CATEGORY(windowLog, "keycrate.window", QtWarningMsg)

enum Tab { FilesTab = 0, UploadTab = 1, SettingsTab = 2, RestoringTab = 3 };

// Default access values as the library stores them.
enum Access { AccessAll = 2, AccessMe = 0, AccessFriends = -2 };

// The account a fresh installation comes with: not one of the user's own.
constexpr char DefaultUser[] = "guest";
constexpr char DefaultPassword[] = "ferny";

void setStatus(QTreeWidgetItem *row, const QString &text, const QBrush &brush)
{
    row->setText(0, text);
    row->setBackground(0, brush);
}

void rowLook(int status, QString *text, QBrush *brush)
{
    switch (status) {
    case StatusLocked:
        *text = TheManager::tr("Locked");
        *brush = StatusBrushes::green();
        return;
    case StatusUnlocked:
        *text = TheManager::tr("Unlocked");
        *brush = StatusBrushes::cyan();
        return;
    case StatusInvalid:
        *text = TheManager::tr("Invalid");
        *brush = StatusBrushes::red();
        return;
    case StatusNotHeld:
        *text = TheManager::tr("Unknown");
        *brush = StatusBrushes::red();
        return;
    default:
        *text = TheManager::tr("Error");
        *brush = StatusBrushes::yellow();
        return;
    }
}

// What a Locked row's lock holds against.
QString protectionText(const QByteArray &path)
{
    return QCoreApplication::translate("LockRegistry",
                                       IsProtected(path) ? LockProtectionTexts::Protected
                                                         : LockProtectionTexts::Advisory);
}

} // namespace

TheManager::TheManager()
    : QMainWindow(nullptr)
    , m_ui(std::make_unique<Ui::TheManager>())
{
    initToolbarResources();
    m_ui->setupUi(this);
    // Images in the working folder replace the built-in ones.
    overrideIcon(m_ui->actionRefresh, "../alldebug/png/toolbar/refresh.png");
    overrideIcon(m_ui->actionOnline_backup_share, "../alldebug/png/toolbar/remote_upload.png");
    overrideIcon(m_ui->actionUnlock_file, "../alldebug/png/toolbar/local_remove.png");
    const QStringList headers = { QStringLiteral("Status"), QStringLiteral("Path") };
    m_ui->treeWidget->setHeaderLabels(headers);
    m_ui->treeWidget_2->setHeaderLabels(headers);

    connect(m_ui->actionRefresh, &QAction::triggered, this, &TheManager::UpdateLockedList);
    connect(m_ui->actionUnlock_file, &QAction::triggered, this,
            &TheManager::ApplyClearTreeWidgetAction);
    connect(m_ui->actionOnline_backup_share, &QAction::triggered, this,
            &TheManager::CopySelectedItemsForUploading);
    connect(m_ui->saveButton, &QPushButton::clicked, this, &TheManager::SaveSettings);
    connect(m_ui->uploadButton, &QPushButton::clicked, this, &TheManager::HandleUploadBtnClick);
    connect(m_ui->encryptCheckBox, &QCheckBox::clicked, this, &TheManager::EncryptBackups);
    // The server's list is read when the user turns to it.
    connect(m_ui->tabWidget, &QTabWidget::currentChanged, this, [this](int tab) {
        if (tab == RestoringTab && UnlockKey())
            m_ui->restoreTab->refresh();
    });
    // The status bar tells what the current row's lock holds against.
    connect(m_ui->treeWidget, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem *row) {
        if (row)
            statusBar()->showMessage(row->statusTip(0));
    });
    // Locks taken or released from outside the window show at once.
    SetLockChangeObserver([this] {
        if (isVisible())
            UpdateLockedList();
    });
    m_currentRow = nullptr;
    m_nextIndex = -1;
}

void TheManager::setInterface(Quorvane::IQuorvane *quorvane)
{
    m_interface = quorvane;
    m_ui->restoreTab->setInterface(quorvane);
    delete m_keySetup;
    m_keySetup = new KeySetup(quorvane, this);
    connect(m_keySetup, &KeySetup::lookedUp, this, &TheManager::keyLookedUp);
    connect(m_keySetup, &KeySetup::made, this, &TheManager::keyMade);
    showKeyState();
}

void TheManager::showKeyState()
{
    const bool keyExists = m_interface && m_interface->unlockKey(nullptr) != Quorvane::NoKey;
    m_ui->encryptCheckBox->setChecked(keyExists);
    m_ui->encryptCheckBox->setEnabled(m_interface && !(m_keySetup && m_keySetup->running()));
}

void TheManager::EncryptBackups(bool checked)
{
    if (!m_interface || (m_keySetup && m_keySetup->running()))
        return;
    if (m_interface->unlockKey(nullptr) != Quorvane::NoKey) {
        // Backups made with the key stay encrypted: turning it off would
        // read nothing back.
        showKeyState();
        if (!checked)
            Platform::MessageBoxes::information(
                this, tr("Encrypted backups"),
                tr("Your backups stay encrypted: without the key, those already made could not "
                   "be read back."));
        return;
    }
    // One key per account: a second one would make backups that the other
    // machines cannot read, so the server is asked first.
    if (!m_keySetup->lookUp())
        keyLookedUp(KeySetup::Found::Unknown);
    showKeyState();
}

void TheManager::keyLookedUp(KeySetup::Found found)
{
    showKeyState();
    const QString title = tr("Encrypt my backups");
    if (found == KeySetup::Found::Unknown) {
        Platform::MessageBoxes::warning(
            this, title,
            tr("The server could not tell whether your account has an encryption key already: "
               "nothing was changed. Check the account and the server, then try again."));
        return;
    }
    if (found == KeySetup::Found::Key) {
        QString passphrase;
        if (!Platform::MessageBoxes::passphrase(
                this, title,
                tr("Your account has an encryption key on the server already, made on another "
                   "machine. Its passphrase:"),
                &passphrase))
            return;
        switch (m_keySetup->adopt(passphrase.toUtf8())) {
        case KeySetup::Adopted::Kept:
            showKeyState();
            Platform::MessageBoxes::information(
                this, title,
                tr("Your backups are encrypted from now on, with your account's key."));
            return;
        case KeySetup::Adopted::WrongPassphrase:
            Platform::MessageBoxes::warning(this, title,
                                            tr("Wrong passphrase: nothing was changed."));
            return;
        case KeySetup::Adopted::Damaged:
            Platform::MessageBoxes::warning(
                this, title, tr("The key on the server is damaged: nothing was changed."));
            return;
        case KeySetup::Adopted::NotKept:
            Platform::MessageBoxes::critical(this, title,
                                             tr("The key could not be kept on this machine."));
            return;
        }
    }
    if (Platform::MessageBoxes::question(
            this, title,
            tr("From now on your backups are encrypted with a passphrase you choose now, and "
               "only that passphrase reads them back. It is kept nowhere.\n\nLosing the "
               "passphrase loses the backups: nobody, the server's keeper included, can recover "
               "them.\n\nEncrypt your backups?"))
        != QMessageBox::Yes)
        return;
    QString passphrase, again;
    if (!Platform::MessageBoxes::passphrase(this, title, tr("Choose the passphrase:"), &passphrase)
        || !Platform::MessageBoxes::passphrase(this, title, tr("The same passphrase again:"),
                                               &again))
        return;
    if (passphrase.isEmpty() || passphrase != again) {
        Platform::MessageBoxes::warning(
            this, title,
            passphrase.isEmpty() ? tr("The passphrase is empty: nothing was changed.")
                                 : tr("The two passphrases differ: nothing was changed."));
        return;
    }
    if (!m_keySetup->make(passphrase.toUtf8())) {
        Platform::MessageBoxes::critical(this, title, tr("The key could not be made."));
        return;
    }
    showKeyState();
}

void TheManager::keyMade(KeySetup::Made outcome, const QString &keyId)
{
    showKeyState();
    const QString title = tr("Encrypt my backups");
    switch (outcome) {
    case KeySetup::Made::Kept:
        Platform::MessageBoxes::information(
            this, title,
            tr("Your backups are encrypted from now on (key %1). Keep the passphrase safe: "
               "losing it loses the backups.")
                .arg(keyId));
        return;
    case KeySetup::Made::NotSent:
        Platform::MessageBoxes::warning(
            this, title,
            tr("The key could not be sent to the server: nothing was changed. Check the account "
               "and the server, then try again."));
        return;
    case KeySetup::Made::Unknown:
        Platform::MessageBoxes::warning(
            this, title,
            tr("The connection broke while the key was sent, and the server could not tell "
               "whether it kept it. Your backups are not encrypted yet. Once the server answers, "
               "choose Encrypt my backups again: if the server kept the key, you are asked for "
               "the passphrase you just chose."));
        return;
    case KeySetup::Made::ServerOnly:
        Platform::MessageBoxes::critical(
            this, title,
            tr("The key is on the server but could not be kept on this machine, so your backups "
               "are not encrypted yet. Choose Encrypt my backups again to fetch it with the "
               "passphrase you just chose."));
        return;
    }
}

bool TheManager::UnlockKey()
{
    if (!m_interface || m_interface->unlockKey(nullptr) != Quorvane::KeyLocked)
        return true;
    const QString title = tr("Encrypted backups");
    QString passphrase;
    if (!Platform::MessageBoxes::passphrase(this, title, tr("The passphrase of your backups' key:"),
                                            &passphrase))
        return false;
    const int state = m_interface->unlockKey(passphrase.toUtf8().constData());
    if (state == Quorvane::KeyUnlocked)
        return true;
    Platform::MessageBoxes::warning(this, title,
                                    state == Quorvane::WrongPassphrase
                                        ? tr("Wrong passphrase: the backups stay locked.")
                                        : tr("The key file cannot be read."));
    return false;
}

TheManager::~TheManager()
{
    SetLockChangeObserver(nullptr);
}

void TheManager::CopySelectedItemsForUploading()
{
    const QList<QTreeWidgetItem *> selected = m_ui->treeWidget->selectedItems();
    if (selected.isEmpty()) {
        Platform::MessageBoxes::information(this, tr("Select items"),
                                            tr("Please select items for uploading!"));
        return;
    }
    clearUploadList();
    QList<QTreeWidgetItem *> rows;
    for (const QTreeWidgetItem *source : selected) {
        auto *row = new QTreeWidgetItem;
        setStatus(row, tr("Not uploaded"), StatusBrushes::cyan());
        row->setText(1, source->text(1));
        rows.append(row);
    }
    m_ui->treeWidget_2->addTopLevelItems(rows);
    m_ui->tabWidget->setCurrentIndex(UploadTab);
}

void TheManager::UpdateLockedList()
{
    m_ui->treeWidget->clear();
    const LockStatuses statuses = ReadLockStatuses();
    QList<QTreeWidgetItem *> rows;
    rows.reserve(statuses.size());
    for (auto entry = statuses.cbegin(); entry != statuses.cend(); ++entry) {
        QString text;
        QBrush brush;
        rowLook(entry.value(), &text, &brush);
        auto *row = new QTreeWidgetItem;
        setStatus(row, text, brush);
        row->setText(1, QFile::decodeName(entry.key()));
        if (entry.value() == StatusLocked) {
            const QString protection = protectionText(entry.key());
            for (int column = 0; column < 2; ++column) {
                row->setToolTip(column, protection);
                row->setStatusTip(column, protection);
            }
        }
        rows.append(row);
    }
    m_ui->treeWidget->addTopLevelItems(rows);
    statusBar()->clearMessage();
    qCInfo(windowLog) << "locked files listed:" << rows.size();
}

void TheManager::ApplyClearTreeWidgetAction()
{
    switch (m_ui->tabWidget->currentIndex()) {
    case UploadTab:
        clearUploadList();
        return;
    case SettingsTab:
        Platform::MessageBoxes::information(this, tr("Error"),
                                            tr("This action applied only for selected items!"));
        return;
    case FilesTab:
        break;
    default:
        return;
    }
    const QList<QTreeWidgetItem *> selected = m_ui->treeWidget->selectedItems();
    if (selected.isEmpty()) {
        Platform::MessageBoxes::information(this, tr("Error"),
                                            tr("Please select one or more items!"));
        return;
    }
    // Read every path before the first toggle: the rows stay until the refresh.
    QList<QByteArray> paths;
    for (const QTreeWidgetItem *row : selected)
        paths.append(QFile::encodeName(row->text(1)));
    for (const QByteArray &path : paths)
        ToggleLock(path);
    UpdateLockedList();
}

void TheManager::clearUploadList()
{
    m_ui->treeWidget_2->clear();
    m_currentRow = nullptr;
    m_nextIndex = -1;
    // The transfers go on; their results find no row.
    for (QTreeWidgetItem *&row : m_inFlight)
        row = nullptr;
}

void TheManager::HandleUploadBtnClick()
{
    // The same translated text the button was given.
    if (m_ui->uploadButton->text() == tr("Cancel")) {
        if (!m_interface)
            return;
        m_interface->cancelAll();
        resetProgress();
        m_ui->uploadButton->setText(tr("Upload"));
        return;
    }
    if (StartUpload())
        m_ui->uploadButton->setText(tr("Cancel"));
}

bool TheManager::StartUpload()
{
    // Nothing goes out plain, and nothing goes out at all while the key is locked.
    if (!UnlockKey())
        return false;
    if (m_ui->treeWidget_2->topLevelItemCount() == 0)
        Platform::MessageBoxes::information(this, tr("Error"), tr("Nothing to upload!"));
    m_nextIndex = 0;
    m_currentRow = NextUploadItem();
    if (m_currentRow) {
        emit UploadItem(m_currentRow->text(1));
        return true;
    }
    Platform::MessageBoxes::information(this, QStringLiteral("KEYCRATE"),
                                        tr("No valid items for uploading!"));
    return false;
}

QTreeWidgetItem *TheManager::NextUploadItem()
{
    QTreeWidget *list = m_ui->treeWidget_2;
    if (m_nextIndex >= 0 && m_nextIndex < list->topLevelItemCount()) {
        m_currentRow = list->topLevelItem(m_nextIndex++);
        const QString status = m_currentRow->text(0);
        // A row already done or failed ends the run.
        if (status != tr("Done") && status != tr("Error"))
            return m_currentRow;
    }
    m_nextIndex = -1;
    m_currentRow = nullptr;
    return nullptr;
}

void TheManager::MarkUploading(const QString &path)
{
    QTreeWidget *list = m_ui->treeWidget_2;
    const QList<QTreeWidgetItem *> matches
        = list->findItems(path, Qt::MatchExactly | Qt::MatchCaseSensitive, 1);
    if (matches.isEmpty()) {
        m_currentRow = new QTreeWidgetItem;
        m_currentRow->setText(1, path);
        list->addTopLevelItem(m_currentRow);
    } else {
        m_currentRow = matches.first();
    }
    setStatus(m_currentRow, tr("Uploading..."), StatusBrushes::yellow());
    m_inFlight.append(m_currentRow);
    m_ui->uploadLabel->setText(tr("Uploading \"%1\"").arg(path));
}

bool TheManager::RecordUploadResult(int code)
{
    QTreeWidgetItem *row = m_inFlight.isEmpty() ? nullptr : m_inFlight.takeFirst();
    if (m_inFlight.isEmpty())
        m_ui->uploadLabel->clear();
    if (!row)
        return false;
    if (code == Quorvane::Success)
        setStatus(row, tr("Done"), StatusBrushes::green());
    else
        setStatus(row, tr("Error"), StatusBrushes::red());
    return true;
}

void TheManager::ResetUploadControls()
{
    resetProgress();
    m_ui->uploadButton->setText(tr("Upload"));
}

void TheManager::ShowUploadRunning()
{
    m_ui->tabWidget->setCurrentIndex(UploadTab);
    m_ui->uploadButton->setText(tr("Cancel"));
}

void TheManager::ShowUploadProgress(int done, int total)
{
    if (isMinimized())
        return;
    QProgressBar *bar = m_ui->progressBar;
    if (total < 0) {
        // Size unknown: a busy bar rather than a wrong one.
        bar->setRange(0, 0);
        return;
    }
    bar->setRange(0, total);
    bar->setValue(done);
}

void TheManager::resetProgress()
{
    // A busy bar (no known size) becomes a plain one again.
    if (m_ui->progressBar->maximum() == 0)
        m_ui->progressBar->setMaximum(100);
    m_ui->progressBar->setValue(0);
}

bool TheManager::LoadSettings()
{
    if (!m_interface)
        return true;
    const Quorvane::Credentials *credentials = m_interface->getCredentials();
    // The library's texts live until its next call: copy them first.
    const QByteArray user(credentials && credentials->user ? credentials->user : "");
    const QByteArray password(credentials && credentials->password ? credentials->password : "");
    switch (m_interface->getDefaultAccess()) {
    case AccessFriends:
        m_ui->radioButtonFriends->setChecked(true);
        break;
    case AccessMe:
        m_ui->radioButtonMe->setChecked(true);
        break;
    case AccessAll:
        m_ui->radioButtonAll->setChecked(true);
        break;
    default:
        break;
    }
    m_ui->userEdit->setText(QString::fromUtf8(user));
    m_ui->passwordEdit->setText(QString::fromUtf8(password));
    m_shownServer = Platform::ServerAddressSetting::read();
    m_ui->serverUrlEdit->setText(m_shownServer);
    if (user == DefaultUser && password == DefaultPassword) {
        m_ui->tabWidget->setCurrentIndex(SettingsTab);
        return false;
    }
    return true;
}

void TheManager::SaveSettings()
{
    if (!m_interface)
        return;
    // A wrong address saves nothing: the account may belong to that server.
    const QString server = m_ui->serverUrlEdit->text();
    const QString problem = Platform::ServerAddressSetting::problem(server);
    if (!problem.isEmpty()) {
        m_ui->tabWidget->setCurrentIndex(SettingsTab);
        m_ui->serverUrlEdit->setFocus();
        Platform::MessageBoxes::warning(this, tr("Server address"),
                                        tr("The server address cannot be used: %1.\n"
                                           "Example: https://backup.example.org:8477")
                                            .arg(problem));
        return;
    }
    if (server != m_shownServer) {
        if (!Platform::ServerAddressSetting::write(server)) {
            Platform::MessageBoxes::warning(this, tr("Server address"),
                                            tr("The settings cannot be written."));
            return;
        }
        m_shownServer = server;
    }
    int access = AccessMe;
    if (m_ui->radioButtonAll->isChecked())
        access = AccessAll;
    else if (m_ui->radioButtonFriends->isChecked())
        access = AccessFriends;
    const QByteArray user = m_ui->userEdit->text().toUtf8();
    const QByteArray password = m_ui->passwordEdit->text().toUtf8();
    const bool accessSaved = m_interface->setDefaultAccess(access) == Quorvane::Success;
    const bool accountSaved
        = m_interface->setCredentials(user.constData(), password.constData()) == Quorvane::Success;
    if (!accessSaved || !accountSaved)
        Platform::MessageBoxes::critical(
            this, tr("Error"),
            tr("The settings could not be saved: the settings folder cannot be written."));
}
