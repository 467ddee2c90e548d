#pragma once

#include <QByteArray>
#include <QMap>
#include <functional>
#include <optional>

// The lock registry: files held open (and share-locked) while keycrate runs,
// and made immutable by keycrate-lockd where it answers and can,
// the list file "llf" in the application folder that brings the locks back at
// the next start, and the list published in shared memory for other programs.
// Paths are bytes in the local 8-bit encoding. Operations return 0 or 99.
//
// Free functions over process-wide state, all on the GUI thread.

enum LockStatus {
    StatusLocked = 0, // held, its file open
    StatusUnlocked = 1, // held, its file no longer open
    StatusInvalid = 2, // no longer an existing regular file
    StatusNotHeld = 3, // an existing file this process does not hold
};

using LockStatuses = QMap<QByteArray, int>;

// Locks every listed file again and publishes what it locked. False when the
// list file cannot be opened (the program then ends with 99).
bool ReloadLockedFiles();

// Locks a file, or unlocks it when held, or drops its line when it is no
// longer a file (99 in that case too).
//
// Without a path the request came from another program: the path is taken
// from the setting "file_to_process_path" (99 without a box when that cannot
// be opened) and a confirmation box reports the result.
int ToggleLock(const std::optional<QByteArray> &path = std::nullopt);

// The request of another program that named its file itself: as ToggleLock
// without a path, for that file rather than the one in the setting. Anything
// but a regular file fails at once, without waiting on it.
int ToggleHandedOver(const QByteArray &path);

// A path with a line feed is refused: the list holds one path a line.
int LockFile(const QByteArray &path);
int UnlockFile(const QByteArray &path);

// Gives the published list to the shared-memory block.
void PublishLockList();

// Every listed path, once, sorted by bytes, with its LockStatus.
LockStatuses ReadLockStatuses();

// Whether keycrate-lockd holds the locked file immutable for us; otherwise
// the lock is only the advisory one.
bool IsProtected(const QByteArray &path);

// Called when the locks changed without the window asking: a toggle another
// program asked for (before its confirmation box), or protection lost or
// taken again when the service went away.
void SetLockChangeObserver(std::function<void()> observer);

// Rewrites the list with every path once (at an orderly exit).
void CompactLockList();

// Takes the published block away: it lives as long as the process that
// publishes it, as other programs expect.
void WithdrawLockList();

// Closes every held file and forgets what was published, as the end of the
// process would; for tests and benchmarks that start again in one process.
void ForgetLocks();

// The path of the list file.
QString LockListPath();

// The file beside the list whose lock the running instance holds for its
// life, so that only one process at a time keeps the list.
QString LockListOwnerPath();

// The native key of the published block (per user; see SharedMemoryKey).
QString LockListNativeKey();
