#include "RestoreTab.h"

#include "IQuorvane.h"
#include "MessageBoxes.h"
#include "ui_RestoreTab.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLocale>
#include <QMap>
#include <QSaveFile>
#include <algorithm>

using Platform::MessageBoxes;

namespace {

RestoreTab::FolderChooser &folderChooser()
{
    static RestoreTab::FolderChooser chooser;
    return chooser;
}

const QLatin1String SnapshotPrefix("Snapshot [");
constexpr int IdRole = Qt::UserRole;

} // namespace

RestoreTab::RestoreTab(QWidget *parent)
    : QWidget(parent)
    , m_ui(std::make_unique<Ui::RestoreTab>())
{
    m_ui->setupUi(this);
    m_ui->restoreList->header()->setStretchLastSection(true);
    connect(m_ui->restoreRefreshButton, &QPushButton::clicked, this, &RestoreTab::refresh);
    connect(m_ui->restoreToButton, &QPushButton::clicked, this, &RestoreTab::restoreToFolder);
    connect(m_ui->restoreOriginalButton, &QPushButton::clicked, this,
            &RestoreTab::restoreToOriginalPlace);
    connect(m_ui->restoreSearchEdit, &QLineEdit::textChanged, this, &RestoreTab::filter);
}

RestoreTab::~RestoreTab() = default;

void RestoreTab::setFolderChooser(FolderChooser chooser)
{
    folderChooser() = std::move(chooser);
}

void RestoreTab::refresh()
{
    if (!m_interface || isBusy())
        return;
    m_step = Step::Listing;
    m_ui->restoreLabel->setText(tr("Reading the backups on the server..."));
    const qint64 midnight = QDate::currentDate().startOfDay().toSecsSinceEpoch();
    // Every day back to the first possible one: the library stops there.
    if (m_interface->loadEvents(this, true, int(midnight / 86400) + 1, int(midnight), "", "", false)
        != Quorvane::Success)
        OnFinished(Quorvane::Failure, 0);
}

void RestoreTab::OnFinished(int code, int count)
{
    const Step step = m_step;
    if (code != Quorvane::Success) {
        m_jobs.clear();
        finish(step == Step::Listing ? tr("The backups cannot be read from the server.")
                                     : tr("The files cannot be fetched from the server."));
        return;
    }
    switch (step) {
    case Step::Idle:
        return;
    case Step::Listing:
        readList(count);
        finish(tr("%n backup(s) on the server.", nullptr, int(m_backups.size())));
        return;
    case Step::Reading:
        // The rows stay as they are: the user's selection is kept.
        fetchMissing();
        return;
    case Step::Fetching:
        place();
        return;
    }
}

void RestoreTab::OnMessage(const char *) { }

void RestoreTab::OnProgress(int done, int total)
{
    if (total < 0) {
        m_ui->restoreProgressBar->setRange(0, 0);
        return;
    }
    m_ui->restoreProgressBar->setRange(0, std::max(total, 1));
    m_ui->restoreProgressBar->setValue(std::clamp(done, 0, std::max(total, 1)));
}

void RestoreTab::readList(int count)
{
    m_backups.clear();
    Quorvane::EventNative **list = m_interface->getEventList();
    for (int i = 0; list && i < count; ++i) {
        const Quorvane::EventNative &event = *list[i];
        Backup backup;
        backup.id = QString::fromUtf8(event.id ? event.id : "");
        backup.name = QString::fromUtf8(event.name ? event.name : "");
        const QString path = QString::fromUtf8(event.path ? event.path : "");
        backup.fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
        backup.time = QByteArray(event.recordTime ? event.recordTime : "").toLongLong();
        if (!backup.id.isEmpty())
            m_backups.append(backup);
    }
    std::stable_sort(m_backups.begin(), m_backups.end(),
                     [](const Backup &a, const Backup &b) { return a.time > b.time; });
    m_journal = UploadJournal::read();
    showList();
}

void RestoreTab::showList()
{
    QTreeWidget *list = m_ui->restoreList;
    list->clear();
    const QLocale locale;
    // Newest first: a file's row comes where its newest version does.
    QMap<QString, QTreeWidgetItem *> files;
    for (const Backup &backup : std::as_const(m_backups)) {
        const auto known = m_journal.constFind(backup.id);
        const QString origin = known == m_journal.cend() ? QString() : known->path;
        const bool snapshot = backup.name.startsWith(SnapshotPrefix);
        // Two files of one name from two folders are two files.
        const QString key = snapshot ? backup.id : origin.isEmpty() ? backup.name : origin;
        QTreeWidgetItem *&file = files[key];
        if (!file) {
            file = new QTreeWidgetItem(list, { backup.name, QString(), QString(), origin });
            file->setData(0, IdRole, backup.id);
        }
        auto *version = new QTreeWidgetItem(
            file,
            { snapshot ? tr("Snapshot: restore it with quorvane restore") : backup.fileName,
              locale.toString(QDateTime::fromSecsSinceEpoch(backup.time), QLocale::ShortFormat),
              known == m_journal.cend() ? QString() : locale.formattedDataSize(known->size),
              origin });
        version->setData(0, IdRole, backup.id);
        if (file->childCount() == 1)
            for (int column = 1; column < 3; ++column)
                file->setText(column, version->text(column));
    }
    for (int column = 0; column < list->columnCount(); ++column)
        list->resizeColumnToContents(column);
    filter(m_ui->restoreSearchEdit->text());
}

void RestoreTab::filter(const QString &text)
{
    QTreeWidget *list = m_ui->restoreList;
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
        QTreeWidgetItem *file = list->topLevelItem(row);
        bool match = text.isEmpty();
        for (int column = 0; !match && column < list->columnCount(); ++column)
            match = file->text(column).contains(text, Qt::CaseInsensitive);
        file->setHidden(!match);
    }
}

QList<RestoreTab::Backup> RestoreTab::selectedBackups() const
{
    QList<Backup> chosen;
    for (const QTreeWidgetItem *item : m_ui->restoreList->selectedItems()) {
        const QString id = item->data(0, IdRole).toString();
        for (const Backup &backup : m_backups)
            if (backup.id == id && !backup.name.startsWith(SnapshotPrefix)
                && std::none_of(chosen.cbegin(), chosen.cend(),
                                [&](const Backup &other) { return other.id == id; }))
                chosen.append(backup);
    }
    return chosen;
}

void RestoreTab::restoreToFolder()
{
    if (isBusy())
        return;
    const QList<Backup> chosen = selectedBackups();
    if (chosen.isEmpty()) {
        MessageBoxes::information(this, tr("Restore"), tr("Please select files to restore!"));
        return;
    }
    const QString folder = folderChooser()
        ? folderChooser()(this)
        : QFileDialog::getExistingDirectory(this, tr("Restore to"), QDir::homePath());
    if (folder.isEmpty())
        return;
    QList<Job> jobs;
    for (const Backup &backup : chosen)
        jobs.append({ backup, QDir(folder).filePath(backup.fileName) });
    start(jobs);
}

void RestoreTab::restoreToOriginalPlace()
{
    if (isBusy())
        return;
    QList<Job> jobs;
    for (const Backup &backup : selectedBackups())
        if (m_journal.contains(backup.id))
            jobs.append({ backup, m_journal.value(backup.id).path });
    if (jobs.isEmpty()) {
        MessageBoxes::information(
            this, tr("Restore"),
            tr("Please select files this keycrate uploaded: only their original place is known."));
        return;
    }
    start(jobs);
}

void RestoreTab::start(QList<Job> jobs)
{
    if (!m_interface)
        return;
    for (auto job = jobs.begin(); job != jobs.end();) {
        if (QFileInfo::exists(job->target)
            && MessageBoxes::question(this, tr("Restore"),
                                      tr("\"%1\" exists. Replace it with the backup?")
                                          .arg(QDir::toNativeSeparators(job->target)))
                != QMessageBox::Yes)
            job = jobs.erase(job);
        else
            ++job;
    }
    if (jobs.isEmpty())
        return;
    m_jobs = jobs;
    m_ui->restoreToButton->setEnabled(false);
    m_ui->restoreOriginalButton->setEnabled(false);
    m_ui->restoreProgressBar->setRange(0, 0);
    m_ui->restoreLabel->setText(tr("Restoring %n file(s)...", nullptr, int(jobs.size())));
    // The library fetches among the events its last read listed, and an
    // upload meanwhile replaces that list.
    m_step = Step::Reading;
    const qint64 midnight = QDate::currentDate().startOfDay().toSecsSinceEpoch();
    if (m_interface->loadEvents(this, true, int(midnight / 86400) + 1, int(midnight), "", "", false)
        != Quorvane::Success)
        OnFinished(Quorvane::Failure, 0);
}

void RestoreTab::fetchMissing()
{
    Quorvane::IdList missing;
    for (const Job &job : std::as_const(m_jobs))
        if (!QFileInfo(localCopy(job.backup)).isReadable())
            missing.append(job.backup.id.toLatin1().constData());
    if (missing.count == 0) {
        place();
        return;
    }
    m_step = Step::Fetching;
    if (m_interface->downloadEvents(missing, this) != Quorvane::Success)
        OnFinished(Quorvane::Failure, 0);
}

QString RestoreTab::localCopy(const Backup &backup) const
{
    // Where the library keeps a fetched event: by its day, then its id.
    const QString day
        = QDateTime::fromSecsSinceEpoch(backup.time).toString(QStringLiteral("yyyy/MM/dd"));
    return QString::fromUtf8(m_interface->getDataPath()) + QLatin1Char('/') + day + QLatin1Char('/')
        + backup.id + QLatin1Char('/') + backup.fileName;
}

void RestoreTab::place()
{
    QStringList failures;
    int restored = 0;
    for (const Job &job : std::as_const(m_jobs)) {
        QString error;
        if (placeOne(job, &error))
            ++restored;
        else
            failures.append(
                QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(job.target), error));
    }
    m_jobs.clear();
    finish(tr("%n file(s) restored.", nullptr, restored));
    if (!failures.isEmpty())
        MessageBoxes::warning(this, tr("Restore"),
                              tr("Not restored:\n%1").arg(failures.join(QLatin1Char('\n'))));
}

bool RestoreTab::placeOne(const Job &job, QString *error) const
{
    QFile source(localCopy(job.backup));
    if (!source.open(QIODevice::ReadOnly)) {
        *error = tr("it was not fetched");
        return false;
    }
    QSaveFile target(job.target);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly)) {
        *error = target.errorString();
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 got;
    while ((got = source.read(buffer.data(), buffer.size())) > 0) {
        hash.addData(QByteArrayView(buffer.data(), got));
        if (target.write(buffer.constData(), got) != got) {
            *error = target.errorString();
            target.cancelWriting();
            return false;
        }
    }
    if (got < 0) {
        *error = source.errorString();
        target.cancelWriting();
        return false;
    }
    const auto known = m_journal.constFind(job.backup.id);
    if (known != m_journal.cend() && hash.result().toHex() != known->sha256) {
        *error = tr("it does not match its SHA-256 and was not kept");
        target.cancelWriting();
        return false;
    }
    if (!target.commit()) {
        *error = target.errorString();
        return false;
    }
    return true;
}

void RestoreTab::finish(const QString &text)
{
    m_step = Step::Idle;
    m_ui->restoreProgressBar->setRange(0, 100);
    m_ui->restoreProgressBar->setValue(0);
    m_ui->restoreToButton->setEnabled(true);
    m_ui->restoreOriginalButton->setEnabled(true);
    m_ui->restoreLabel->setText(text);
}
