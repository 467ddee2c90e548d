#pragma once

#include "QuorvaneUser.h"
#include "UploadJournal.h"

#include <QHash>
#include <QList>
#include <QWidget>
#include <functional>
#include <memory>

class QTreeWidgetItem;

namespace Ui {
class RestoreTab;
}

namespace Quorvane {
class IQuorvane;
}

// The window's way back: the backups on the server, this keycrate's uploads
// grouped by file, newest first, and the snapshots of quorvane backup; a
// selected file goes to a chosen folder or where it was uploaded from.
// Snapshot trees are restored by quorvane restore, not here.
class RestoreTab : public QWidget, public Quorvane::QuorvaneUser
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
    enum class Step { Idle, Listing, Reading, Fetching };

    struct Backup
    {
        QString id;
        QString name;
        QString fileName;
        qint64 time = 0;
    };

    struct Job
    {
        Backup backup;
        QString target;
    };

    void readList(int count);
    void showList();
    void filter(const QString &text);
    // The selected versions: a file's row stands for its newest one.
    QList<Backup> selectedBackups() const;
    void start(QList<Job> jobs);
    void fetchMissing();
    void place();
    // Copies the fetched file under a temporary name beside the target and
    // renames it only once its SHA-256 matched. False with *error set.
    bool placeOne(const Job &job, QString *error) const;
    QString localCopy(const Backup &backup) const;
    void finish(const QString &text);

    std::unique_ptr<Ui::RestoreTab> m_ui;
    Quorvane::IQuorvane *m_interface = nullptr;
    Step m_step = Step::Idle;
    QList<Backup> m_backups;
    QHash<QString, UploadJournal::Entry> m_journal;
    QList<Job> m_jobs;
};
