#include "RestoreTab.h"

#include "FetchNote.h"
#include "FetchPlan.h"
#include "IQuorvane.h"
#include "MessageBoxes.h"
#include "OwnFile.h"
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
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Platform::MessageBoxes;

namespace {

RestoreTab::FolderChooser &folderChooser()
{
    static RestoreTab::FolderChooser chooser;
    return chooser;
}

const QLatin1String SnapshotPrefix("Snapshot [");
constexpr int IdRole = Qt::UserRole;
// A snapshot's row, or one of its entries (with its path in the snapshot).
constexpr int SnapshotRole = Qt::UserRole + 1;
constexpr int PathRole = Qt::UserRole + 2;
constexpr qint64 MaximumManifest = qint64(1) << 30;
// A report box lists so many failures and counts the rest.
constexpr int ListedFailures = 20;

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
    connect(m_ui->restoreList, &QTreeWidget::itemExpanded, this, &RestoreTab::listSnapshot);
}

RestoreTab::~RestoreTab()
{
    // The restore's thread reads this object's list of content files.
    if (m_restoreThread)
        m_restoreThread->wait();
}

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
    // The restore's thread owns the run until it ends; the library has
    // nothing of it left to report.
    if (step == Step::Restoring)
        return;
    if (code != Quorvane::Success) {
        m_jobs.clear();
        m_next = nullptr;
        dropPulled();
        finish(step == Step::Listing ? tr("The backups cannot be read from the server.")
                                     : tr("The files cannot be fetched from the server."));
        return;
    }
    switch (step) {
    case Step::Idle:
    case Step::Restoring:
        return;
    case Step::Listing:
        readList(count);
        finish(tr("%n backup(s) on the server.", nullptr,
                  int(std::count_if(m_backups.cbegin(), m_backups.cend(), [](const Backup &backup) {
                      return !backup.snapshotContent;
                  }))));
        return;
    case Step::Reading: {
        // The rows stay as they are: the user's selection is kept.
        QHash<QString, int> locations;
        Quorvane::EventNative **list = m_interface->getEventList();
        for (int i = 0; list && i < count; ++i)
            if (list[i]->id)
                locations.insert(QString::fromUtf8(list[i]->id), list[i]->location);
        FetchPlan plan;
        for (const QString &id : std::as_const(m_fetching))
            if (const Backup *backup = backupOf(id))
                plan.add(id.toStdString(), locations.value(id, -1),
                         QFile::encodeName(localCopy(*backup)).toStdString());
        if (!plan.emptied().empty() && !m_dropped) {
            m_dropped = true;
            Quorvane::IdList emptied;
            for (const std::string &id : plan.emptied())
                emptied.append(id.c_str());
            // The read is queued behind the removal and lists them as the
            // server's alone: then they are fetched.
            if (m_interface->deleteLocalEvents(emptied) != Quorvane::Success)
                OnFinished(Quorvane::Failure, 0);
            else
                readEvents();
            return;
        }
        if (!plan.missing().empty()) {
            Quorvane::IdList missing;
            for (const std::string &id : plan.missing())
                missing.append(id.c_str());
            m_step = Step::Fetching;
            if (m_interface->downloadEvents(missing, this) != Quorvane::Success)
                OnFinished(Quorvane::Failure, 0);
            return;
        }
        [[fallthrough]];
    }
    case Step::Fetching: {
        const std::function<void()> next = std::move(m_next);
        m_next = nullptr;
        if (next)
            next();
        return;
    }
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
        backup.snapshotContent
            = QByteArray(event.content ? event.content : "").startsWith("sha256:")
            && !backup.name.startsWith(SnapshotPrefix);
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
        if (backup.snapshotContent)
            continue;
        const QString time
            = locale.toString(QDateTime::fromSecsSinceEpoch(backup.time), QLocale::ShortFormat);
        if (backup.name.startsWith(SnapshotPrefix)) {
            // Its entries are listed when it is opened.
            auto *snapshot = new QTreeWidgetItem(list, { backup.name, time });
            snapshot->setData(0, IdRole, backup.id);
            snapshot->setData(0, SnapshotRole, true);
            snapshot->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            continue;
        }
        const auto known = m_journal.constFind(backup.id);
        const QString origin = known == m_journal.cend() ? QString() : known->path;
        // Two files of one name from two folders are two files.
        const QString key = origin.isEmpty() ? backup.name : origin;
        QTreeWidgetItem *&file = files[key];
        if (!file) {
            file = new QTreeWidgetItem(list, { backup.name, QString(), QString(), origin });
            file->setData(0, IdRole, backup.id);
        }
        auto *version = new QTreeWidgetItem(
            file,
            { backup.fileName, time,
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

const RestoreTab::Backup *RestoreTab::backupOf(const QString &id) const
{
    for (const Backup &backup : m_backups)
        if (backup.id == id)
            return &backup;
    return nullptr;
}

void RestoreTab::restoreToFolder()
{
    if (isBusy())
        return;
    // The first selected snapshot goes by itself: whole when its own row is
    // selected, else the entries selected.
    SnapshotJob snapshot;
    bool whole = false;
    for (const QTreeWidgetItem *item : m_ui->restoreList->selectedItems()) {
        const QString id = item->data(0, IdRole).toString();
        if (!item->data(0, SnapshotRole).toBool() || (!snapshot.id.isEmpty() && id != snapshot.id))
            continue;
        snapshot.id = id;
        const std::string path = item->data(0, PathRole).toByteArray().toStdString();
        whole = whole || path.empty();
        if (!path.empty())
            snapshot.paths.push_back(path);
    }
    if (whole)
        snapshot.paths.clear();
    const QList<Backup> chosen = selectedBackups();
    if (chosen.isEmpty() && snapshot.id.isEmpty()) {
        MessageBoxes::information(this, tr("Restore"), tr("Please select files to restore!"));
        return;
    }
    const QString folder = folderChooser()
        ? folderChooser()(this)
        : QFileDialog::getExistingDirectory(this, tr("Restore to"), QDir::homePath());
    if (folder.isEmpty())
        return;
    if (!snapshot.id.isEmpty()) {
        snapshot.folder = folder;
        restoreSnapshot(snapshot);
        return;
    }
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
    m_ui->restoreLabel->setText(tr("Restoring %n file(s)...", nullptr, int(jobs.size())));
    QStringList ids;
    for (const Job &job : std::as_const(m_jobs))
        ids.append(job.backup.id);
    fetch(ids, [this] { place(); });
}

void RestoreTab::fetch(const QStringList &ids, std::function<void()> next)
{
    m_ui->restoreToButton->setEnabled(false);
    m_ui->restoreOriginalButton->setEnabled(false);
    m_ui->restoreProgressBar->setRange(0, 0);
    m_fetching = ids;
    m_next = std::move(next);
    m_dropped = false;
    readEvents();
}

void RestoreTab::readEvents()
{
    // An upload meanwhile replaces the library's list: it is read again.
    m_step = Step::Reading;
    const qint64 midnight = QDate::currentDate().startOfDay().toSecsSinceEpoch();
    if (m_interface->loadEvents(this, true, int(midnight / 86400) + 1, int(midnight), "", "", false)
        != Quorvane::Success)
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
    if (!Platform::OwnFile::open(source, QIODevice::ReadOnly)) {
        *error = tr("it was not fetched");
        return false;
    }
    // The save follows a link to the file it names: one that another user
    // put in the file's place must not steer the restore to a file of ours.
    struct stat info;
    if (::lstat(QFile::encodeName(job.target).constData(), &info) == 0 && S_ISLNK(info.st_mode)
        && info.st_uid != ::getuid()) {
        *error = tr("a link of another user is in its place; not followed");
        return false;
    }
    const bool existed = ::lstat(QFile::encodeName(job.target).constData(), &info) == 0;
    QSaveFile target(job.target);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly)) {
        *error = target.errorString();
        return false;
    }
    // A new file is made as the umask allows, and one of 000 would let any
    // user rewrite what was restored; one in place keeps its own mode.
    struct stat made;
    if (!existed
        && (::fstat(target.handle(), &made) != 0
            || ::fchmod(target.handle(), made.st_mode & 0755) != 0)) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        target.cancelWriting();
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

void RestoreTab::listSnapshot(QTreeWidgetItem *row)
{
    if (!row->data(0, SnapshotRole).toBool() || row->parent() || row->childCount() > 0 || isBusy()
        || !m_interface)
        return;
    const QString id = row->data(0, IdRole).toString();
    m_snapshotJob = { id, {}, {} };
    m_ui->restoreLabel->setText(tr("Reading the snapshot..."));
    fetch({ id }, [this, id] {
        QTreeWidget *list = m_ui->restoreList;
        for (int index = 0; index < list->topLevelItemCount(); ++index)
            if (list->topLevelItem(index)->data(0, IdRole).toString() == id)
                showSnapshot(list->topLevelItem(index));
    });
}

bool RestoreTab::readManifest(SnapshotManifest *manifest)
{
    const Backup *snapshot = backupOf(m_snapshotJob.id);
    QFile file(snapshot ? localCopy(*snapshot) : QString());
    if (!Platform::OwnFile::open(file, QIODevice::ReadOnly) || file.size() >= MaximumManifest) {
        finish(tr("The snapshot's list of files cannot be fetched."));
        return false;
    }
    std::vector<SnapshotManifest::Refusal> refused;
    std::string error;
    if (!SnapshotManifest::parse(file.readAll().toStdString(), manifest, &refused, &error)) {
        finish(tr("The snapshot's list of files cannot be read: %1")
                   .arg(QString::fromStdString(error)));
        return false;
    }
    m_failures.clear();
    for (const SnapshotManifest::Refusal &refusal : refused)
        m_failures.append(
            tr("line %1 (%2): refused: %3")
                .arg(refusal.line)
                .arg(QString::fromStdString(refusal.path), QString::fromStdString(refusal.reason)));
    return true;
}

void RestoreTab::showSnapshot(QTreeWidgetItem *row)
{
    SnapshotManifest manifest;
    if (!readManifest(&manifest))
        return;
    const QLocale locale;
    for (const SnapshotManifest::Entry &entry : manifest.entries) {
        auto *item = new QTreeWidgetItem(
            row,
            { QString::fromStdString(entry.path),
              locale.toString(QDateTime::fromSecsSinceEpoch(entry.mtimeSeconds),
                              QLocale::ShortFormat),
              entry.type == SnapshotManifest::Type::File ? locale.formattedDataSize(entry.size)
                                                         : QString() });
        item->setData(0, IdRole, m_snapshotJob.id);
        item->setData(0, SnapshotRole, true);
        item->setData(0, PathRole, QByteArray::fromStdString(entry.path));
    }
    finish(tr("%n entries in the snapshot.", nullptr, int(manifest.entries.size())));
}

void RestoreTab::restoreSnapshot(const SnapshotJob &job)
{
    if (!m_interface)
        return;
    m_snapshotJob = job;
    m_ui->restoreLabel->setText(tr("Restoring the snapshot..."));
    fetch({ job.id }, [this] { fetchSnapshotContent(); });
}

void RestoreTab::fetchSnapshotContent()
{
    auto manifest = std::make_shared<SnapshotManifest>();
    if (!readManifest(manifest.get()))
        return;
    m_manifest = manifest;
    m_chosen = SnapshotRestore::choose(*m_manifest, m_snapshotJob.paths);
    if (m_chosen.empty()) {
        finish(tr("The snapshot holds none of the selected entries."));
        return;
    }
    m_contentFiles.clear();
    m_pulled.clear();
    m_taken.clear();
    const char *store = m_interface->getDataPath();
    m_note = std::make_unique<FetchNote>(store ? store : "");
    for (const std::string &event : m_note->adoptLeftovers())
        if (m_taken.insert(event).second)
            m_pulled.append(QString::fromStdString(event));
    std::vector<std::string> fetched;
    QStringList ids;
    for (const std::string &event : SnapshotRestore::contentEvents(m_chosen)) {
        // A content that is gone costs its files, not the whole restore.
        const Backup *content = backupOf(QString::fromStdString(event));
        if (!content)
            continue;
        const QString file = localCopy(*content);
        m_contentFiles[event] = QFile::encodeName(file).toStdString();
        ids.append(content->id);
        if (!QFileInfo(file).isReadable() && m_taken.insert(event).second) {
            m_pulled.append(content->id);
            fetched.push_back(event);
        }
    }
    const std::string noteProblem = m_note->add(fetched);
    if (!noteProblem.empty())
        qWarning("%s", noteProblem.c_str());
    m_ui->restoreLabel->setText(
        tr("Restoring %n entries of the snapshot...", nullptr, int(m_chosen.size())));
    fetch(ids, [this] { runSnapshotRestore(); });
}

void RestoreTab::dropPulled()
{
    m_contentFiles.clear();
    m_taken.clear();
    if (!m_pulled.isEmpty()) {
        Quorvane::IdList pulled;
        for (const QString &id : std::as_const(m_pulled))
            pulled.append(id.toLatin1().constData());
        m_pulled.clear();
        m_interface->deleteLocalEvents(pulled);
    }
    // The drop is queued ahead of any later request of this process.
    if (m_note)
        m_note->remove();
}

std::string RestoreTab::fileOf(const std::string &event) const
{
    const auto found = m_contentFiles.find(event);
    return found == m_contentFiles.end() ? std::string() : found->second;
}

bool RestoreTab::mayTake(const std::string &event) const
{
    return m_taken.count(event) > 0;
}

std::string RestoreTab::confirmedSha256(int fd) const
{
    char hex[65];
    return m_interface && m_interface->getFileDigest(fd, hex) == Quorvane::Success
        ? std::string(hex, 64)
        : std::string();
}

void RestoreTab::runSnapshotRestore()
{
    // Only to ask first: what is replaced is decided below the folder itself.
    const std::string folder = QFile::encodeName(m_snapshotJob.folder).toStdString() + '/';
    int existing = 0;
    for (const SnapshotManifest::Entry *entry : m_chosen) {
        struct stat there;
        if (entry->type != SnapshotManifest::Type::Folder
            && ::lstat((folder + entry->path).c_str(), &there) == 0)
            ++existing;
    }
    const bool overwrite = existing > 0
        && MessageBoxes::question(
               this, tr("Restore"),
               tr("%n file(s) of the snapshot are already in \"%1\". Replace them with the backup?",
                  nullptr, existing)
                   .arg(QDir::toNativeSeparators(m_snapshotJob.folder)))
            == QMessageBox::Yes;
    const int target = ::open(QFile::encodeName(m_snapshotJob.folder).constData(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string refused
        = target < 0 ? std::strerror(errno) : SnapshotRestore::refusedTarget(target);
    if (!refused.empty()) {
        finish(tr("Nothing restored into \"%1\": %2")
                   .arg(QDir::toNativeSeparators(m_snapshotJob.folder),
                        QString::fromLocal8Bit(refused.c_str())));
        if (target >= 0)
            ::close(target);
        dropPulled();
        return;
    }
    m_step = Step::Restoring;
    m_restored = 0;
    m_ui->restoreProgressBar->setRange(0, std::max(int(m_chosen.size()), 1));
    // Checking every file's SHA-256 takes its time: the window stays live.
    m_restoreThread = QThread::create([this, target, overwrite] {
        SnapshotRestore restore(
            target, *this, [this](const std::string &path, const std::string &reason) {
                m_failures.append(QStringLiteral("%1: %2").arg(QString::fromStdString(path),
                                                               QString::fromStdString(reason)));
            });
        restore.setOverwrite(overwrite);
        int shown = -1;
        restore.setProgress([this, &shown](std::size_t done, std::size_t total) {
            const int percent = int(done * 100 / std::max<std::size_t>(total, 1));
            if (percent == shown)
                return;
            shown = percent;
            QMetaObject::invokeMethod(
                this, [this, done, total] { OnProgress(int(done), int(total)); },
                Qt::QueuedConnection);
        });
        m_restored = restore.restore(m_chosen);
        ::close(target);
    });
    connect(m_restoreThread, &QThread::finished, this, &RestoreTab::snapshotRestored);
    m_restoreThread->start();
}

void RestoreTab::snapshotRestored()
{
    m_restoreThread->wait();
    delete m_restoreThread;
    m_restoreThread = nullptr;
    const int total = int(m_chosen.size());
    m_chosen.clear();
    m_manifest.reset();
    dropPulled();
    finish(tr("%1 of %n entries restored to \"%2\".", nullptr, total)
               .arg(m_restored)
               .arg(QDir::toNativeSeparators(m_snapshotJob.folder)));
    if (m_failures.isEmpty())
        return;
    QStringList listed = m_failures.mid(0, ListedFailures);
    if (m_failures.size() > ListedFailures)
        listed.append(tr("and %n more", nullptr, int(m_failures.size() - ListedFailures)));
    m_failures.clear();
    MessageBoxes::warning(this, tr("Restore"),
                          tr("Not restored:\n%1").arg(listed.join(QLatin1Char('\n'))));
}
