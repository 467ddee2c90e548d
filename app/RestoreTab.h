#pragma once

#include "QuorvaneUser.h"
#include "SnapshotContent.h"
#include "SnapshotRestore.h"
#include "UploadJournal.h"

#include <QHash>
#include <QList>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class FetchNote;
class QThread;
class QTreeWidgetItem;

namespace Ui {
class RestoreTab;
}

namespace Quorvane {
class IQuorvane;
}

// The window's way back: the backups on the server, this keycrate's uploads
// grouped by file, newest first, and the snapshots of quorvane backup; a
// selected file goes to a chosen folder or where it was uploaded from, a
// snapshot (or the parts of it selected) to a chosen folder.
class RestoreTab : public QWidget, public Quorvane::QuorvaneUser, private SnapshotContent
{
    Q_OBJECT

public:
    using FolderChooser = std::function<QString(QWidget *parent)>;

    explicit RestoreTab(QWidget *parent = nullptr);
    ~RestoreTab() override;

    void setInterface(Quorvane::IQuorvane *quorvane) { m_interface = quorvane; }
    // Replaces the folder dialog, for tests; an empty chooser shows it again.
    static void setFolderChooser(FolderChooser chooser);

    bool isBusy() const { return m_step != Step::Idle; }

    void OnFinished(int code, int count) override;
    void OnMessage(const char *text) override;
    void OnProgress(int done, int total) override;

public slots:
    // Reads the list of backups from the server.
    void refresh();
    void restoreToFolder();
    void restoreToOriginalPlace();

private:
    enum class Step { Idle, Listing, Reading, Fetching, Restoring };

    struct Backup
    {
        QString id;
        QString name;
        QString fileName;
        qint64 time = 0;
        // Holds the bytes of a snapshot's files: no upload of the window.
        bool snapshotContent = false;
    };

    struct Job
    {
        Backup backup;
        QString target;
    };

    // A snapshot to list, or to restore (whole, or the paths: bytes as the
    // manifest has them) under folder.
    struct SnapshotJob
    {
        QString id;
        std::vector<std::string> paths;
        QString folder;
    };

    void readList(int count);
    void showList();
    void filter(const QString &text);
    // The selected versions: a file's row stands for its newest one.
    QList<Backup> selectedBackups() const;
    const Backup *backupOf(const QString &id) const;
    void start(QList<Job> jobs);
    // Reads the list anew (the library fetches among the events its last read
    // listed), fetches the events without a local copy, then goes on with next.
    void fetch(const QStringList &ids, std::function<void()> next);
    void readEvents();
    void place();
    // Copies the fetched file under a temporary name beside the target and
    // renames it only once its SHA-256 matched. False with *error set.
    bool placeOne(const Job &job, QString *error) const;
    QString localCopy(const Backup &backup) const;
    void finish(const QString &text);

    void listSnapshot(QTreeWidgetItem *row);
    // The fetched manifest of the job's snapshot; false after telling why.
    bool readManifest(SnapshotManifest *manifest);
    void showSnapshot(QTreeWidgetItem *row);
    void restoreSnapshot(const SnapshotJob &job);
    void fetchSnapshotContent();
    void runSnapshotRestore();
    void snapshotRestored();
    // Drops what the snapshot restore fetched for itself alone, and its note,
    // however the restore ended.
    void dropPulled();
    std::string fileOf(const std::string &event) const override;
    bool mayTake(const std::string &event) const override;
    std::string confirmedSha256(int fd) const override;

    std::unique_ptr<Ui::RestoreTab> m_ui;
    Quorvane::IQuorvane *m_interface = nullptr;
    Step m_step = Step::Idle;
    QList<Backup> m_backups;
    QHash<QString, UploadJournal::Entry> m_journal;
    QList<Job> m_jobs;
    std::function<void()> m_next;
    QStringList m_fetching;
    // The local records of this fetch's events whose files are gone were
    // dropped: once, whatever the library made of it.
    bool m_dropped = false;

    SnapshotJob m_snapshotJob;
    std::shared_ptr<SnapshotManifest> m_manifest;
    SnapshotRestore::Entries m_chosen;
    // Local copies of the snapshot's content events, by id; read by the
    // restore's thread while it runs.
    std::map<std::string, std::string> m_contentFiles;
    // Content events fetched for this restore only: the store drops them after.
    QStringList m_pulled;
    // The same, as the restore asks for them.
    std::set<std::string> m_taken;
    // Notes them beside the store until they are dropped.
    std::unique_ptr<FetchNote> m_note;
    QThread *m_restoreThread = nullptr;
    int m_restored = 0;
    QStringList m_failures;
};
