#pragma once

#include "IQuorvane.h"

#include <QByteArray>
#include <QList>

// The library's interface for tests of the window alone: settings kept in
// memory as the library keeps them (bytes in, the same bytes out), every
// event operation refused, and a record of what the window asked for.
class FakeQuorvane : public Quorvane::IQuorvane
{
public:
    QByteArray user;
    QByteArray password;
    int defaultAccess = 0;
    int cancelCalls = 0;
    // What the settings' writes return.
    int writeResult = 0;
    // The calls, by name, in order.
    QList<QByteArray> calls;
    // The encryption key: its state, the passphrase that opens it, and the
    // passphrases tried.
    int keyState = Quorvane::NoKey;
    QByteArray keyPassphrase;
    QList<QByteArray> unlockedWith;

    int setDefaultAccess(std::int32_t access) override
    {
        calls.append("setDefaultAccess");
        defaultAccess = access;
        return writeResult;
    }
    int getDefaultAccess() override
    {
        calls.append("getDefaultAccess");
        return defaultAccess;
    }
    void cancelAll() override
    {
        calls.append("cancelAll");
        ++cancelCalls;
    }
    int setRefreshDays(int) override { return 0; }
    int getRefreshDays() override { return 0; }
    int setDataPath(const char *) override { return 0; }
    const char *getDataPath() override { return ""; }
    Quorvane::Credentials *getCredentials() override
    {
        calls.append("getCredentials");
        // Fresh copies each time: the window must not keep the old pointers.
        m_user = user;
        m_password = password;
        m_credentials = { m_user.constData(), m_password.constData() };
        return &m_credentials;
    }
    int setCredentials(const char *newUser, const char *newPassword) override
    {
        calls.append("setCredentials");
        user = newUser;
        password = newPassword;
        return writeResult;
    }
    Quorvane::EventNative getEvent(const char *) override { return {}; }
    Quorvane::EventNative **getEventList() override { return nullptr; }
    int loadEvents(Quorvane::QuorvaneUser *, bool, int, int, const char *, const char *,
                   bool) override
    {
        return Quorvane::NoPipePool;
    }
    int openEventFile(const char *, Quorvane::QuorvaneUser *) override
    {
        return Quorvane::NoPipePool;
    }
    int addEvent(Quorvane::EventNative, Quorvane::QuorvaneUser *) override
    {
        calls.append("addEvent");
        return Quorvane::NoPipePool;
    }
    int changeEvent(Quorvane::EventNative) override { return Quorvane::NoPipePool; }
    int deleteLocalEvents(Quorvane::IdList ids) override { return refuse(ids); }
    int uploadEvents(Quorvane::IdList ids, Quorvane::QuorvaneUser *) override
    {
        return refuse(ids);
    }
    int downloadEvents(Quorvane::IdList ids, Quorvane::QuorvaneUser *) override
    {
        return refuse(ids);
    }
    int deleteServerEvents(Quorvane::IdList ids, Quorvane::QuorvaneUser *) override
    {
        return refuse(ids);
    }
    int syncEvents(Quorvane::IdList ids, Quorvane::QuorvaneUser *) override { return refuse(ids); }
    int deleteEvents(Quorvane::IdList ids, Quorvane::QuorvaneUser *) override
    {
        return refuse(ids);
    }
    const char *getVersion() override { return "Version: 1.14"; }
    int unlockKey(const char *passphrase) override
    {
        if (!passphrase)
            return keyState;
        unlockedWith.append(passphrase);
        if (passphrase != keyPassphrase)
            return Quorvane::WrongPassphrase;
        keyState = Quorvane::KeyUnlocked;
        return keyState;
    }
    int getFileDigest(int, char *) override { return Quorvane::Failure; }

private:
    static int refuse(Quorvane::IdList &ids)
    {
        ids.release();
        return Quorvane::NoPipePool;
    }

    QByteArray m_user;
    QByteArray m_password;
    Quorvane::Credentials m_credentials {};
};
