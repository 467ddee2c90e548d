#include "QuorvaneInterface.h"

#include "CurrentUser.h"
#include "InterfaceSingleton.h"

namespace Quorvane {

namespace {

// The host always gets a text back, never a null pointer.
QByteArray copied(const char *text)
{
    return QByteArray(text ? text : "");
}

const QString RefreshDays = QStringLiteral("refresh_days");
const QString DefaultAccess = QStringLiteral("default_access");

} // namespace

QuorvaneInterface::QuorvaneInterface()
    : m_user("")
    , m_password("")
    , m_dataPath("")
    , m_credentials(new Credentials { "", "" })
{
}

QuorvaneInterface::~QuorvaneInterface()
{
    InterfaceSingleton::forget(this);
}

int QuorvaneInterface::setDefaultAccess(std::int32_t access)
{
    return writeInt(DefaultAccess, access);
}

// The long-lived store re-reads the file first when it changed on disk: keycrate
// and other programs of the user write it too.
int QuorvaneInterface::getDefaultAccess()
{
    sync();
    return readInt(DefaultAccess);
}

void QuorvaneInterface::cancelAll() { }

int QuorvaneInterface::setRefreshDays(int days)
{
    return writeInt(RefreshDays, days);
}

int QuorvaneInterface::getRefreshDays()
{
    sync();
    return readInt(RefreshDays);
}

int QuorvaneInterface::setDataPath(const char *path)
{
    return writeDataPath(copied(path));
}

const char *QuorvaneInterface::getDataPath()
{
    sync();
    m_dataPath = copied(readDataPath().constData());
    return m_dataPath.constData();
}

Credentials *QuorvaneInterface::getCredentials()
{
    sync();
    m_user = copied(readUser().constData());
    m_password = copied(readPassword().constData());
    m_credentials->user = m_user.constData();
    m_credentials->password = m_password.constData();
    return m_credentials.get();
}

int QuorvaneInterface::setCredentials(const char *user, const char *password)
{
    m_user = copied(user);
    m_password = copied(password);
    // The record must not keep pointing at the buffers just replaced.
    m_credentials->user = m_user.constData();
    m_credentials->password = m_password.constData();
    return writeCredentials(m_user, m_password);
}

EventNative QuorvaneInterface::getEvent(const char *)
{
    return EventNative();
}

EventNative **QuorvaneInterface::getEventList()
{
    return nullptr;
}

int QuorvaneInterface::loadEvents(QuorvaneUser *, bool, int, int, const char *, const char *, bool)
{
    return NoPipePool;
}

int QuorvaneInterface::openEventFile(const char *, QuorvaneUser *)
{
    return NoPipePool;
}

int QuorvaneInterface::addEvent(EventNative, QuorvaneUser *)
{
    return NoPipePool;
}

int QuorvaneInterface::changeEvent(EventNative)
{
    return NoPipePool;
}

// The caller hands its list over: it is released whatever the outcome.
int QuorvaneInterface::deleteLocalEvents(IdList ids)
{
    ids.release();
    return NoPipePool;
}

int QuorvaneInterface::uploadEvents(IdList ids, QuorvaneUser *)
{
    ids.release();
    return NoPipePool;
}

int QuorvaneInterface::downloadEvents(IdList ids, QuorvaneUser *)
{
    ids.release();
    return NoPipePool;
}

int QuorvaneInterface::deleteServerEvents(IdList ids, QuorvaneUser *)
{
    ids.release();
    return NoPipePool;
}

int QuorvaneInterface::syncEvents(IdList ids, QuorvaneUser *)
{
    ids.release();
    return NoPipePool;
}

int QuorvaneInterface::deleteEvents(IdList ids, QuorvaneUser *)
{
    ids.release();
    return NoPipePool;
}

const char *QuorvaneInterface::getVersion()
{
    return Version;
}

void QuorvaneInterface::attachUser(int, QuorvaneUser *user)
{
    setCurrentUser(user);
}

} // namespace Quorvane
