#pragma once

#include "KeySetup.h"

#include <QList>
#include <QMainWindow>
#include <memory>

class QTreeWidgetItem;

namespace Ui {
class TheManager;
}

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
    void setInterface(Quorvane::IQuorvane *quorvane);
    Quorvane::IQuorvane *interfacePointer() const { return m_interface; }

    // Fills the settings tab from the library. False while the account is
    // still the default pair: the settings tab is then brought to the front.
    bool LoadSettings();

    // The steps of an upload run, used by the application's submission and
    // the library's reports.
    //
    // Starts a run at the first row: emits UploadItem with its path. False
    // when there is no row to upload.
    bool StartUpload();
    // The next row of the run, or null when the run is over.
    QTreeWidgetItem *NextUploadItem();
    // The row of path (added when missing) goes "Uploading..." and is the
    // one whose transfer is now in flight.
    void MarkUploading(const QString &path);
    // The earliest transfer in flight has ended: its row goes "Done" (code 0)
    // or "Error". False when the row is no longer in the list.
    bool RecordUploadResult(int code);
    // True while transfers marked by MarkUploading await their result.
    bool UploadsInFlight() const { return !m_inFlight.isEmpty(); }
    void ResetUploadControls();
    void ShowUploadRunning();
    // A progress report of the transfer in flight; total < 0 when unknown.
    void ShowUploadProgress(int done, int total);

signals:
    void UploadItem(QString path);

public slots:
    // Copies the selected rows of the locked-files list to the upload list.
    void CopySelectedItemsForUploading();
    // Starts a run, or cancels the one going on.
    void HandleUploadBtnClick();
    // Stores the account and the default access through the library.
    void SaveSettings();
    // The Settings tab's "Encrypt my backups": fetches the account's key from
    // the server, or makes one when it holds none, after the warning that
    // losing the passphrase loses the backups.
    void EncryptBackups(bool checked);
    // Once per run, before the first upload or restore: asks for the
    // passphrase when a key exists and is locked. False when it stays locked.
    bool UnlockKey();
    // Rebuilds the locked-files list from the lock registry.
    void UpdateLockedList();
    // Unlocks, locks or drops the selected rows, or empties the upload list,
    // depending on the tab.
    void ApplyClearTreeWidgetAction();

private:
    // Forgets the upload rows in flight when the upload list is emptied, so a
    // late result cannot touch a removed row.
    void clearUploadList();
    void resetProgress();
    void showKeyState();
    // The account's key on the server: fetched, or made when there is none.
    void keyLookedUp(KeySetup::Found found);
    void keyMade(KeySetup::Made outcome, const QString &keyId);

    Quorvane::IQuorvane *m_interface = nullptr;
    int m_nextIndex = -1;
    QTreeWidgetItem *m_currentRow = nullptr;
    std::unique_ptr<Ui::TheManager> m_ui;
    // The server address as the Settings tab last showed it: Save writes the
    // address only when the user changed it, so that one set meanwhile by the
    // command line is not undone.
    QString m_shownServer;
    // The rows of the transfers in flight, oldest first; the library reports
    // their ends in that order. Null for a row that left the list.
    QList<QTreeWidgetItem *> m_inFlight;
    // Lives as long as the window: the library may report to it late.
    KeySetup *m_keySetup = nullptr;
};
