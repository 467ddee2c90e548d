#pragma once

#include <QMainWindow>

class QTreeWidgetItem;
class TheManagerForm;

namespace Quorvane {
class IQuorvane;
}

// keycrate's only window: the locked-files list, the upload list and the
// settings, with a toolbar to refresh, copy for upload and clear or unlock.
class TheManager : public QMainWindow
{
    Q_OBJECT

public:
    TheManager();
    ~TheManager() override;

    // The library's interface; not owned. Given right after construction.
    void setInterface(Quorvane::IQuorvane *quorvane) { m_interface = quorvane; }
    Quorvane::IQuorvane *interfacePointer() const { return m_interface; }

public slots:
    // Copies the selected rows of the locked-files list to the upload list.
    void CopySelectedItemsForUploading();
    // Rebuilds the locked-files list from the lock registry.
    void UpdateLockedList();
    // Unlocks, locks or drops the selected rows, or empties the upload list,
    // depending on the tab.
    void ApplyClearTreeWidgetAction();

private:
    // Forgets the upload row in flight when the upload list is emptied, so a
    // late result cannot touch a removed row.
    void clearUploadList();

    Quorvane::IQuorvane *m_interface = nullptr;
    int m_nextIndex = -1;
    QTreeWidgetItem *m_currentRow = nullptr;
    TheManagerForm *ui;
};
