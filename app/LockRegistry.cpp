#include "LockRegistry.h"

#include "ApplicationFolder.h"
#include "HandOverSetting.h"
#include "HeldFile.h"
#include "IQuorvane.h"
#include "InstanceProtocol.h"
#include "LockListFormat.h"
#include "MessageBoxes.h"
#include "OwnFile.h"
#include "ProtectionClient.h"
#include "PublishedBlock.h"
#include "RegularFile.h"
#include "SharedMemoryKey.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QSet>
#include <QSocketNotifier>
#include <memory>
#include <unistd.h>

namespace {

Q_LOGGING_CATEGORY(registryLog, "keycrate.locks", QtWarningMsg)

using Quorvane::Failure;
using Quorvane::Success;

struct Registry
{
    QMap<QByteArray, Platform::HeldFile *> locks;
    QByteArray listBuffer;
    QByteArray publishedList;
    // Kept from one publication to the next, so that it is written in place.
    std::unique_ptr<Platform::PublishedBlock> block;
    // The held files keycrate-lockd keeps immutable for us, over one
    // connection for as long as any is protected.
    Platform::ProtectionClient protection;
    QSet<QByteArray> protectedPaths;
    std::unique_ptr<QSocketNotifier> serviceWatch;
    // Locks handed to the service and not yet answered, by tag.
    QHash<quint64, QByteArray> pending;
    quint64 lastTag = 0;
    std::function<void()> observer;
};

Registry &registry()
{
    static Registry instance;
    return instance;
}

QString decoded(const QByteArray &path)
{
    return QFile::decodeName(path);
}

// The path's own bytes, as they are opened and held.
bool isRegularFile(const QByteArray &path)
{
    // A zero byte would end the name early and name another file.
    return !path.contains('\0')
        && Platform::RegularFile::kindOf(path) == Platform::RegularFile::Kind::Regular;
}

// Opens the list file (creating it when missing) and reads it whole, with
// room behind for the line a lock appends.
bool readList(QByteArray *content)
{
    QFile file(LockListPath());
    if (!Platform::OwnFile::open(file, QIODevice::ReadWrite))
        return false;
    QByteArray bytes;
    bytes.reserve(file.size() + 4096);
    bytes.resize(file.size());
    bytes.truncate(qMax<qint64>(0, file.read(bytes.data(), bytes.size())));
    bytes += file.readAll(); // what a list that grew meanwhile has more
    *content = std::move(bytes);
    return true;
}

// Writes the list file anew in one step: the old list stays whole until the
// new one is complete.
bool writeList(const QByteArray &content)
{
    // The new list replaces the name: a link planted there must not lead the
    // write to the file it names.
    if (QFileInfo(LockListPath()).isSymLink())
        return false;
    QSaveFile file(LockListPath());
    // Unbuffered, so a failed write shows at once: a buffered write that
    // fails at commit is committed as a short file with no error reported.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    // Which files this user locks is theirs alone, whatever the umask. The
    // sync is checked here because QSaveFile ignores its failure: a disk that
    // reports its lack of room only then must keep the old list.
    if (!file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(content) != content.size() || ::fsync(file.handle()) != 0) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

// Replaces the list file's content; an empty list removes the file.
bool replaceList(const QByteArray &content)
{
    const QString path = LockListPath();
    if (content.isEmpty())
        return QFile::remove(path) || !QFile::exists(path);
    return writeList(content);
}

void watchService();

// Takes the service's replies: what it protects is marked so; what it
// refuses, or no service at all, keeps the advisory lock alone.
void apply(const std::vector<Platform::ProtectionClient::Reply> &replies)
{
    Registry &state = registry();
    for (const Platform::ProtectionClient::Reply &reply : replies) {
        const QByteArray path = state.pending.take(reply.tag);
        if (!path.isNull() && reply.outcome == Platform::ProtectionClient::Outcome::Protected)
            state.protectedPaths.insert(path);
    }
}

// Hands held files to the service without waiting for its answers: they
// come through the event loop (see watchService).
void protectLater(const QList<QByteArray> &paths)
{
    Registry &state = registry();
    // Without a service there is nobody to hand them to: no need to queue
    // ten thousand requests only to have each refused.
    if (paths.isEmpty() || !state.protection.connect()) {
        watchService();
        return;
    }
    for (const QByteArray &path : paths) {
        const Platform::HeldFile *file = state.locks.value(path);
        if (!file || state.protectedPaths.contains(path))
            continue;
        const quint64 tag = ++state.lastTag;
        state.pending.insert(tag, path);
        state.protection.submit(file->handle(), tag);
    }
    bool broken = false;
    apply(state.protection.pump(false, &broken));
    watchService();
}

// As protectLater, waiting for the answers.
void protectNow(const QByteArray &path)
{
    Registry &state = registry();
    const Platform::HeldFile *file = state.locks.value(path);
    if (!file)
        return;
    std::vector<Platform::ProtectionClient::Reply> earlier;
    const auto outcomes = state.protection.lock({ file->handle() }, &earlier);
    apply(earlier);
    if (outcomes.front() == Platform::ProtectionClient::Outcome::Protected)
        state.protectedPaths.insert(path);
    watchService();
}

// The service went away (restarted, stopped): its flags went with it. Take
// them again from a new one, or keep the advisory locks.
void serviceLost()
{
    Registry &state = registry();
    state.serviceWatch.reset();
    state.protection.disconnect();
    state.pending.clear();
    state.protectedPaths.clear();
    qCWarning(registryLog) << "the lock protection service went away; protecting anew";
    protectLater(state.locks.keys());
    if (state.observer)
        state.observer();
}

// Answers or the end of the connection are waiting.
void serviceReadable()
{
    Registry &state = registry();
    const bool waited = state.protection.busy();
    bool broken = false;
    apply(state.protection.pump(false, &broken));
    if (broken || !waited) {
        // Between exchanges the service says nothing: it ended.
        state.serviceWatch->setEnabled(false);
        QMetaObject::invokeMethod(qApp, serviceLost, Qt::QueuedConnection);
        return;
    }
    // Every lock handed over is answered: the list can tell it.
    if (!state.protection.busy() && state.observer)
        state.observer();
}

void watchService()
{
    Registry &state = registry();
    if (state.protectedPaths.isEmpty() && !state.protection.busy())
        state.protection.disconnect(); // so the service may end when idle
    if (!state.protection.isConnected()) {
        state.serviceWatch.reset();
        return;
    }
    if (state.serviceWatch && state.serviceWatch->socket() == state.protection.socket())
        return;
    state.serviceWatch
        = std::make_unique<QSocketNotifier>(state.protection.socket(), QSocketNotifier::Read);
    QObject::connect(state.serviceWatch.get(), &QSocketNotifier::activated,
                     state.serviceWatch.get(), serviceReadable);
}

// Lets go of a held file: its protection, its advisory lock, the file.
void release(const QByteArray &path)
{
    Registry &state = registry();
    Platform::HeldFile *file = state.locks.take(path);
    if (file) {
        // Whatever is in flight is answered first, this file's lock too.
        std::vector<Platform::ProtectionClient::Reply> earlier;
        state.protection.finish(&earlier);
        apply(earlier);
        if (state.protectedPaths.remove(path))
            state.protection.unlock(file->handle());
    }
    delete file;
    watchService();
}

// Replaces the list file and keeps the buffer in step with it.
bool storeList(const QByteArray &content)
{
    if (!replaceList(content))
        return false;
    registry().listBuffer = content;
    return true;
}

QString tr(const char *text)
{
    return QCoreApplication::translate("LockRegistry", text);
}

enum class Unlisted { Failed, NotListed, Removed };

// Cuts the path's line from the list file. The buffer the next publication
// shows is the list as it is on disk afterwards. The list is changed in
// place, not shared with that buffer before it is stored: no copy of it.
Unlisted unlist(const QByteArray &path)
{
    QByteArray content;
    if (!readList(&content))
        return Unlisted::Failed;
    if (!LockListFormat::removeLine(&content, path)) {
        registry().listBuffer = std::move(content);
        return Unlisted::NotListed;
    }
    if (storeList(content))
        return Unlisted::Removed;
    readList(&registry().listBuffer); // the file stayed as it was
    return Unlisted::Failed;
}

// The path no longer names a file: its line goes, and so does a handle still
// held on the removed file, or a new file at that path would count as locked.
// Always a failure for the caller, even when the line was dropped.
Unlisted dropListed(const QByteArray &path)
{
    const Unlisted outcome = unlist(path);
    if (outcome == Unlisted::Removed)
        release(path);
    return outcome;
}

// A toggle of target. With a box, the request came from another program,
// which is told the result.
int toggle(const QByteArray &target, bool confirmWithBox)
{
    int result;
    if (isRegularFile(target)) {
        result = registry().locks.contains(target) ? UnlockFile(target) : LockFile(target);
    } else {
        // A list that cannot be read fails the drop at once: nothing published, no box.
        if (dropListed(target) == Unlisted::Failed)
            return Failure;
        result = Failure;
    }

    registry().publishedList = registry().listBuffer;
    PublishLockList();

    if (confirmWithBox && registry().observer)
        registry().observer();
    if (confirmWithBox) {
        if (result == Success)
            Platform::MessageBoxes::system(tr("KEYCRATE"), tr("Operation successful!"), false);
        else
            Platform::MessageBoxes::system(tr("Error"), tr("Error locking/unlocking file!"), true);
    }
    return result;
}

} // namespace

QString LockListPath()
{
    return lockListFolder() + QStringLiteral("/llf");
}

QString LockListOwnerPath()
{
    return LockListPath() + QStringLiteral(".lock");
}

QString LockListNativeKey()
{
    return Platform::SharedMemoryKey::nativeKey(QLatin1String(InstanceProtocol::LockListKey));
}

bool ReloadLockedFiles()
{
    QFile list(LockListPath());
    if (!Platform::OwnFile::open(list, QIODevice::ReadWrite))
        return false;
    const QByteArray content = list.readAll();
    Registry &state = registry();
    state.publishedList.reserve(state.publishedList.size() + content.size() + 1);
    QList<QByteArray> held;
    for (const QByteArray &path : LockListFormat::lines(content)) {
        const auto at = state.locks.lowerBound(path);
        if (at != state.locks.end() && at.key() == path) {
            // A path listed twice is published twice, while it is still a file.
            if (!isRegularFile(path))
                continue;
        } else {
            // Opening tells whether it is a regular file: no lookup beforehand.
            std::unique_ptr<Platform::HeldFile> file = Platform::HeldFile::open(path);
            // One file that cannot be held must not leave every later one unlocked.
            if (!file)
                continue;
            state.locks.insert(at, path, file.release());
            held.append(path);
        }
        state.publishedList += path;
        state.publishedList += '\n';
    }
    protectLater(held);
    PublishLockList();
    return true;
}

int ToggleLock(const std::optional<QByteArray> &path)
{
    if (path)
        return toggle(*path, false);
    return ToggleHandedOver(Platform::HandOverSetting::read());
}

int ToggleHandedOver(const QByteArray &path)
{
    // Held open until the toggle is done, as a sign the file was there.
    const std::unique_ptr<QFile> handOver = Platform::RegularFile::openForReading(decoded(path));
    if (!handOver)
        return Failure;
    return toggle(path, true);
}

int LockFile(const QByteArray &path)
{
    if (path.contains('\n')) {
        qCWarning(registryLog) << "cannot lock" << decoded(path)
                               << "- a file name with a line feed does not fit the lock list";
        return Failure;
    }
    QByteArray content;
    if (!readList(&content))
        return Failure;
    std::unique_ptr<Platform::HeldFile> file = Platform::HeldFile::open(path);
    const qsizetype listed = content.size();
    if (file)
        content = LockListFormat::appendLine(std::move(content), path);
    if (!file || !storeList(content)) {
        content.truncate(listed);
        registry().listBuffer = std::move(content);
        return Failure;
    }
    release(path);
    registry().locks.insert(path, file.release());
    protectNow(path);
    return Success;
}

int UnlockFile(const QByteArray &path)
{
    // The list changes first: if it cannot, the file stays held and listed.
    if (unlist(path) == Unlisted::Failed)
        return Failure;
    release(path);
    return Success;
}

void PublishLockList()
{
    Registry &state = registry();
    if (!state.block)
        state.block = std::make_unique<Platform::PublishedBlock>(LockListNativeKey());
    if (state.block->publish(state.publishedList) == Platform::PublishedBlock::Outcome::Foreign)
        qCWarning(registryLog) << "not publishing: someone else holds" << LockListNativeKey();
}

LockStatuses ReadLockStatuses()
{
    LockStatuses statuses;
    QByteArray content;
    if (!readList(&content))
        return statuses;
    const Registry &state = registry();
    for (const QByteArray &path : LockListFormat::lines(content)) {
        int status;
        if (!isRegularFile(path))
            status = StatusInvalid;
        else if (!state.locks.contains(path))
            status = StatusNotHeld;
        else
            status = state.locks.value(path)->isOpen() ? StatusLocked : StatusUnlocked;
        statuses.insert(path, status);
    }
    return statuses;
}

void CompactLockList()
{
    QByteArray content;
    if (!readList(&content))
        return;
    const QList<QByteArray> lines = LockListFormat::lines(content);
    QSet<QByteArray> seen;
    seen.reserve(lines.size());
    QByteArray compacted;
    compacted.reserve(content.size() + 1);
    for (const QByteArray &path : lines) {
        const qsizetype before = seen.size();
        seen.insert(path);
        if (seen.size() == before)
            continue;
        compacted += path;
        compacted += '\n';
    }
    writeList(compacted);
}

void WithdrawLockList()
{
    registry().block.reset();
}

bool IsProtected(const QByteArray &path)
{
    return registry().protectedPaths.contains(path);
}

void SetLockChangeObserver(std::function<void()> observer)
{
    registry().observer = std::move(observer);
}

void ForgetLocks()
{
    Registry &state = registry();
    state.serviceWatch.reset();
    state.protection.disconnect();
    state.pending.clear();
    state.protectedPaths.clear();
    qDeleteAll(state.locks);
    state.locks.clear();
    state.listBuffer.clear();
    state.publishedList.clear();
    WithdrawLockList();
}
