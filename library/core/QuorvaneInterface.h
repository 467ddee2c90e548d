#pragma once

#include "IQuorvane.h"
#include "SettingsStore.h"

#include <QByteArray>
#include <memory>

namespace Quorvane {

class PipePool;

// The library's interface object, and at the same time its long-lived
// settings object. There is one per process (see InterfaceSingleton); it
// belongs to the thread that created it and must be called from there.
//
// Event operations run on the pipe pool. While the interface has none they
// do nothing and answer NoPipePool; list operations release the caller's list
// first, as they do in every case.
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

    // Makes user the one that hears the pipe's OnFinished, and the current
    // user that hears every status text and progress report. Every operation
    // that takes a user calls it on the pipe it is about to use.
    virtual void attachUser(int pipe, QuorvaneUser *user);

    // The pipes the event operations run on; null while there are none.
    PipePool *pipePool() const { return m_pool; }

private:
    QByteArray m_user;
    QByteArray m_password;
    QByteArray m_dataPath;
    std::unique_ptr<Credentials> m_credentials;
    // Built right after the interface by InterfaceSingleton::getOrCreate.
    PipePool *m_pool = nullptr;
};

} // namespace Quorvane
