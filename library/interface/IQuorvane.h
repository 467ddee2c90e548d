#pragma once

#include "EventNative.h"
#include "IdList.h"
#include "QuorvaneUser.h"

#include <cstdint>

namespace Quorvane {

// Owned by the library; both texts stay valid until the next getCredentials
// or setCredentials call.
struct Credentials
{
    const char *user;
    const char *password;
};

// The library's only interface. The slot order is binding for both
// deliverables. Operations return at once; work results arrive through
// QuorvaneUser::OnFinished. Texts handed in are copied before the call
// returns; texts handed out stay owned by the library.
//
// Threads. The library's objects belong to one thread: with a Qt host the
// thread that first called GetQuorvanePointer (keycrate's GUI thread), in a
// host without a Qt application the library's own worker thread. Calls may
// come from any thread; from another one they are carried over to the
// library's thread (event operations queued, settings and the two reading
// operations waited for), and every callback then arrives on the worker
// thread, not on the caller's. getEvent and getEventList called from another
// thread hand out copies that stay valid until the next call of the same
// operation. A callback may call the library again, but must not wait for a
// thread that is itself inside a library call.
//
// Requests of one pipe never overlap: one that arrives while another is still
// pending waits and starts after it, and each gets its own OnFinished (except
// deleteLocalEvents, which never reports). cancelAll ends the pending request
// and every waiting one of the first pipe with 101.
class IQuorvane
{
public:
    virtual int setDefaultAccess(std::int32_t access) = 0;
    virtual int getDefaultAccess() = 0;
    virtual void cancelAll() = 0;
    virtual int setRefreshDays(int days) = 0;
    virtual int getRefreshDays() = 0;
    virtual int setDataPath(const char *path) = 0;
    virtual const char *getDataPath() = 0;
    virtual Credentials *getCredentials() = 0;
    virtual int setCredentials(const char *user, const char *password) = 0;
    virtual EventNative getEvent(const char *id) = 0;
    virtual EventNative **getEventList() = 0;
    virtual int loadEvents(QuorvaneUser *user, bool serverOption, int dayCount, int startTime,
                           const char *searchText, const char *searchFields, bool repeatLast)
        = 0;
    virtual int openEventFile(const char *id, QuorvaneUser *user) = 0;
    virtual int addEvent(EventNative event, QuorvaneUser *user) = 0;
    virtual int changeEvent(EventNative event) = 0;
    virtual int deleteLocalEvents(IdList ids) = 0;
    virtual int uploadEvents(IdList ids, QuorvaneUser *user) = 0;
    virtual int downloadEvents(IdList ids, QuorvaneUser *user) = 0;
    virtual int deleteServerEvents(IdList ids, QuorvaneUser *user) = 0;
    virtual int syncEvents(IdList ids, QuorvaneUser *user) = 0;
    virtual int deleteEvents(IdList ids, QuorvaneUser *user) = 0;
    virtual const char *getVersion() = 0;
    virtual ~IQuorvane() = default;
    // Added after the destructor, so hosts built before it keep their slots.
    // Unlocks the account's encryption key (the key file in the user's state
    // folder) for the whole process: uploads are then encrypted and encrypted
    // events read. A null passphrase only asks for the KeyState.
    virtual int unlockKey(const char *passphrase) = 0;
    // Added after unlockKey, for the same reason. The SHA-256 a download of
    // this process took of the bytes it wrote, when the file open as fd is
    // still that file as the download left it: Success with 64 lower-case hex
    // digits and a NUL in hex, otherwise Failure. Any thread may call it.
    virtual int getFileDigest(int fd, char hex[65]) = 0;
};

// What unlockKey answers.
enum KeyState : int {
    KeyUnlocked = 0,
    NoKey = 1,
    KeyLocked = 2,
    WrongPassphrase = 3,
    KeyUnreadable = 4,
};

// Result codes shared by the library and its host.
enum ResultCode : int {
    Success = 0,
    NoPipePool = 33,
    Started = 77,
    Finished = 78,
    Failure = 99,
    LoginRefused = 100,
    Cancelled = 101,
};

using GetQuorvanePointerFunction = IQuorvane *(*)();

} // namespace Quorvane

// The one exported symbol, resolved by name at run time.
extern "C" Quorvane::IQuorvane *GetQuorvanePointer();
