#pragma once

#include "EventElement.h"
#include "IQuorvane.h"
#include "SettingsStore.h"

#include <QByteArray>
#include <QList>
#include <functional>
#include <memory>
#include <vector>

namespace Quorvane {

class OwnerQueue;
class PipePool;
class QuorvPipe;

// The library's interface object, and at the same time its long-lived
// settings object. There is one per process (see InterfaceSingleton); it
// belongs to the thread that created it, with the pipes.
//
// Event operations run on the pipe pool. While the interface has none they
// do nothing and answer NoPipePool; list operations release the caller's list
// first, as they do in every case.
//
// A call from any other thread (a host without a Qt application calls from its
// own threads while the library lives on its worker thread) is carried over:
// its texts, record and id list are copied before it returns, and the work
// runs on the owning thread as a queued call. Settings and the reading
// operations wait for their answer there; getEvent and getEventList then hand
// out copies kept for the calling thread, valid until that thread's next call
// of the same operation. getDataPath's text is kept per calling thread too.
class QuorvaneInterface : public IQuorvane, public SettingsStore
{
public:
    static constexpr const char *Version = "Version: 1.14";

    QuorvaneInterface();
    ~QuorvaneInterface() override;

    QuorvaneInterface(const QuorvaneInterface &) = delete;
    QuorvaneInterface &operator=(const QuorvaneInterface &) = delete;

    int setDefaultAccess(std::int32_t access) override;
    int getDefaultAccess() override;
    void cancelAll() override;
    int setRefreshDays(int days) override;
    int getRefreshDays() override;
    int setDataPath(const char *path) override;
    const char *getDataPath() override;
    Credentials *getCredentials() override;
    int setCredentials(const char *user, const char *password) override;
    EventNative getEvent(const char *id) override;
    EventNative **getEventList() override;
    int loadEvents(QuorvaneUser *user, bool serverOption, int dayCount, int startTime,
                   const char *searchText, const char *searchFields, bool repeatLast) override;
    int openEventFile(const char *id, QuorvaneUser *user) override;
    int addEvent(EventNative event, QuorvaneUser *user) override;
    int changeEvent(EventNative event) override;
    int deleteLocalEvents(IdList ids) override;
    int uploadEvents(IdList ids, QuorvaneUser *user) override;
    int downloadEvents(IdList ids, QuorvaneUser *user) override;
    int deleteServerEvents(IdList ids, QuorvaneUser *user) override;
    int syncEvents(IdList ids, QuorvaneUser *user) override;
    int deleteEvents(IdList ids, QuorvaneUser *user) override;
    const char *getVersion() override;
    int unlockKey(const char *passphrase) override;
    int getFileDigest(int fd, char hex[65]) override;

    // Makes user the one that hears the pipe's OnFinished, and the current
    // user that hears every status text and progress report. Every operation
    // that takes a user calls it on the pipe it is about to use, when its
    // request starts.
    virtual void attachUser(int pipe, QuorvaneUser *user);

    // Builds the pipes: 39, or 9 when those cannot be built. When not even the
    // 9 can be, the interface stays without a pool.
    void buildPipePool();

    // The pipes the event operations run on; null while there are none.
    PipePool *pipePool() const { return m_pool.get(); }

private:
    bool onOwnerThread() const;
    // Runs work on the owning thread: at once when called there, otherwise
    // queued (the caller has copied everything work needs).
    void post(std::function<void()> work);
    // The same, waiting for the work to be done.
    void runAndWait(const std::function<void()> &work);
    // A number setting read or written on the owning thread.
    int readIntSetting(const QString &key);
    int writeIntSetting(const QString &key, int value);
    // Hands a list operation to the first pipe: selection and step run when
    // its request starts, with the user attached first.
    int submitListOperation(IdList ids, QuorvaneUser *user, void (QuorvPipe::*step)(),
                            bool reports = true);

    QByteArray m_user;
    QByteArray m_password;
    std::unique_ptr<Credentials> m_credentials;
    // Carries calls from other threads to the owning one.
    std::unique_ptr<OwnerQueue> m_owner;
    // Built right after the interface by InterfaceSingleton::getOrCreate.
    std::unique_ptr<PipePool> m_pool;
};

} // namespace Quorvane
