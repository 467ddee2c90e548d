#include "TheManager.h"

#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "StatusBrushes.h"
#include "TheManagerForm.h"

#include <QAction>
#include <QFile>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>

namespace {

enum Tab { FilesTab = 0, UploadTab = 1, SettingsTab = 2 };

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

} // namespace

TheManager::TheManager()
    : QMainWindow(nullptr)
    , ui(new TheManagerForm)
{
    ui->setupUi(this);
    const QStringList headers = { QStringLiteral("Status"), QStringLiteral("Path") };
    ui->treeWidget->setHeaderLabels(headers);
    ui->treeWidget_2->setHeaderLabels(headers);

    connect(ui->actionRefresh, &QAction::triggered, this, &TheManager::UpdateLockedList);
    connect(ui->actionUnlock_file, &QAction::triggered, this,
            &TheManager::ApplyClearTreeWidgetAction);
    connect(ui->actionOnline_backup_share, &QAction::triggered, this,
            &TheManager::CopySelectedItemsForUploading);
    m_currentRow = nullptr;
    m_nextIndex = -1;
}

TheManager::~TheManager()
{
    delete ui;
}

void TheManager::CopySelectedItemsForUploading()
{
    const QList<QTreeWidgetItem *> selected = ui->treeWidget->selectedItems();
    if (selected.isEmpty()) {
        Platform::MessageBoxes::information(this, tr("Select items"),
                                            tr("Please select items for uploading!"));
        return;
    }
    clearUploadList();
    QList<QTreeWidgetItem *> rows;
    for (const QTreeWidgetItem *source : selected) {
        auto *row = new QTreeWidgetItem;
        row->setText(0, tr("Not uploaded"));
        row->setText(1, source->text(1));
        row->setBackground(0, StatusBrushes::cyan());
        rows.append(row);
    }
    ui->treeWidget_2->addTopLevelItems(rows);
    ui->tabWidget->setCurrentIndex(UploadTab);
}

void TheManager::UpdateLockedList()
{
    ui->treeWidget->clear();
    const LockStatuses statuses = ReadLockStatuses();
    QList<QTreeWidgetItem *> rows;
    rows.reserve(statuses.size());
    for (auto entry = statuses.cbegin(); entry != statuses.cend(); ++entry) {
        QString text;
        QBrush brush;
        rowLook(entry.value(), &text, &brush);
        auto *row = new QTreeWidgetItem;
        row->setText(0, text);
        row->setText(1, QFile::decodeName(entry.key()));
        row->setBackground(0, brush);
        rows.append(row);
    }
    ui->treeWidget->addTopLevelItems(rows);
}

void TheManager::ApplyClearTreeWidgetAction()
{
    switch (ui->tabWidget->currentIndex()) {
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
    const QList<QTreeWidgetItem *> selected = ui->treeWidget->selectedItems();
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
    ui->treeWidget_2->clear();
    m_currentRow = nullptr;
    m_nextIndex = -1;
}
