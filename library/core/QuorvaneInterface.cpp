#include "QuorvaneInterface.h"

#include "CurrentUser.h"
#include "FetchedDigests.h"
#include "InterfaceSingleton.h"
#include "KeyRing.h"
#include "OwnerQueue.h"
#include "PipePool.h"
#include "QuorvPipe.h"

#include <QThread>
#include <cstring>
#include <utility>

namespace Quorvane {

namespace {

// The host always gets a text back, never a null pointer.
QByteArray copied(const char *text)
{
    return QByteArray(text ? text : "");
}

// What getDataPath, getEvent and getEventList hand to one calling thread: a
// call from another thread never replaces it under the first one's feet.
struct HandedOut
{
    QByteArray dataPath;
    EventElement event;
    std::vector<EventElement> list;
    std::vector<EventNative *> listPointers;
};

HandedOut &handedOut()
{
    thread_local HandedOut texts;
    return texts;
}

} // namespace

QuorvaneInterface::QuorvaneInterface()
    : m_user("")
    , m_password("")
    , m_credentials(new Credentials { "", "" })
    , m_owner(std::make_unique<OwnerQueue>())
{
}

QuorvaneInterface::~QuorvaneInterface()
{
    // The pipes' timers and network objects must go on the thread they live on.
    if (m_pool && !onOwnerThread())
        runAndWait([this] { m_pool.reset(); });
    m_pool.reset();
    InterfaceSingleton::forget(this);
}

void QuorvaneInterface::buildPipePool()
{
    try {
        m_pool = std::make_unique<PipePool>();
    } catch (...) {
        // Not even the fallback pool: every event operation answers NoPipePool.
        m_pool.reset();
    }
}

bool QuorvaneInterface::onOwnerThread() const
{
    return QThread::currentThread() == QSettings::thread();
}

void QuorvaneInterface::post(std::function<void()> work)
{
    if (onOwnerThread()) {
        work();
        return;
    }
    // Dropped, not run, if the interface is deleted before its turn.
    m_owner->post(std::move(work));
}

void QuorvaneInterface::runAndWait(const std::function<void()> &work)
{
    if (onOwnerThread()) {
        work();
        return;
    }
    m_owner->runAndWait(work);
}

int QuorvaneInterface::writeIntSetting(const QString &key, int value)
{
    int result = 0;
    runAndWait([&] { result = writeInt(key, value); });
    return result;
}

// The long-lived store re-reads the file first when it changed on disk: keycrate
// and other programs of the user write it too.
int QuorvaneInterface::readIntSetting(const QString &key)
{
    int result = 0;
    runAndWait([&] {
        sync();
        result = readInt(key);
    });
    return result;
}

int QuorvaneInterface::setDefaultAccess(std::int32_t access)
{
    return writeIntSetting(DefaultAccess, access);
}

int QuorvaneInterface::getDefaultAccess()
{
    return readIntSetting(DefaultAccess);
}

void QuorvaneInterface::cancelAll()
{
    if (!m_pool)
        return;
    post([this] { m_pool->first().cancelAll(); });
}

int QuorvaneInterface::setRefreshDays(int days)
{
    return writeIntSetting(RefreshDays, days);
}

int QuorvaneInterface::getRefreshDays()
{
    return readIntSetting(RefreshDays);
}

int QuorvaneInterface::setDataPath(const char *path)
{
    const QByteArray value = copied(path);
    int result = 0;
    runAndWait([&] { result = writeDataPath(value); });
    return result;
}

const char *QuorvaneInterface::getDataPath()
{
    QByteArray value;
    runAndWait([&] {
        sync();
        value = readDataPath();
    });
    QByteArray &buffer = handedOut().dataPath;
    buffer = copied(value.constData());
    return buffer.constData();
}

// One record for every caller: its texts are replaced only when they change,
// so a caller on another thread reading the same values is left alone.
Credentials *QuorvaneInterface::getCredentials()
{
    runAndWait([this] {
        sync();
        const QByteArray user = readUser();
        const QByteArray password = readPassword();
        if (user != m_user || password != m_password) {
            m_user = copied(user.constData());
            m_password = copied(password.constData());
            m_credentials->user = m_user.constData();
            m_credentials->password = m_password.constData();
        }
    });
    return m_credentials.get();
}

int QuorvaneInterface::setCredentials(const char *user, const char *password)
{
    const QByteArray newUser = copied(user);
    const QByteArray newPassword = copied(password);
    int result = 0;
    runAndWait([&] {
        m_user = newUser;
        m_password = newPassword;
        // The record must not keep pointing at the buffers just replaced.
        m_credentials->user = m_user.constData();
        m_credentials->password = m_password.constData();
        result = writeCredentials(m_user, m_password);
    });
    return result;
}

// The first pipe's result map holds the events of its last read, add or
// transfer. On the owning thread the view points into the stored event; any
// other thread gets a view of a copy, since the stored one may change under it.
EventNative QuorvaneInterface::getEvent(const char *id)
{
    if (!m_pool)
        return EventNative();
    const QByteArray key = copied(id);
    if (onOwnerThread()) {
        const EventMap &results = m_pool->first().results();
        const auto found = results.constFind(key);
        return found == results.cend() ? EventNative() : found.value().hostView();
    }
    bool found = false;
    EventElement copy;
    runAndWait([&] {
        const EventMap &results = m_pool->first().results();
        const auto stored = results.constFind(key);
        found = stored != results.cend();
        if (found)
            copy = stored.value();
    });
    EventElement &mine = handedOut().event;
    mine = std::move(copy);
    return found ? mine.hostView() : EventNative();
}

EventNative **QuorvaneInterface::getEventList()
{
    if (!m_pool)
        return nullptr;
    if (onOwnerThread())
        return m_pool->first().exportedList();
    std::vector<EventElement> copies;
    runAndWait([&] {
        QuorvPipe &first = m_pool->first();
        EventNative **list = first.exportedList();
        for (int i = 0; list && i < first.exportedCount(); ++i)
            copies.push_back(*static_cast<EventElement *>(list[i]));
    });
    HandedOut &mine = handedOut();
    mine.list = std::move(copies);
    mine.listPointers.clear();
    for (EventElement &copy : mine.list)
        mine.listPointers.push_back(&copy);
    return mine.listPointers.empty() ? nullptr : mine.listPointers.data();
}

int QuorvaneInterface::loadEvents(QuorvaneUser *user, bool serverOption, int dayCount,
                                  int startTime, const char *searchText, const char *searchFields,
                                  bool repeatLast)
{
    if (!m_pool)
        return NoPipePool;
    const QByteArray text = copied(searchText);
    const QByteArray fields = copied(searchFields);
    post([=] {
        QuorvPipe &pipe = m_pool->first();
        pipe.submit({ [this, user] { attachUser(0, user); },
                      [=, &pipe] {
                          pipe.requestRead(serverOption, dayCount, startTime, text, fields,
                                           repeatLast);
                      } });
    });
    return Success;
}

int QuorvaneInterface::openEventFile(const char *id, QuorvaneUser *user)
{
    if (!m_pool)
        return NoPipePool;
    IdList one = IdList::withCapacity(1);
    one.append(id);
    return submitListOperation(one, user, &QuorvPipe::requestOpen);
}

int QuorvaneInterface::addEvent(EventNative event, QuorvaneUser *user)
{
    if (!m_pool)
        return NoPipePool;
    const EventElement element = EventElement::fromNative(event);
    post([this, element, user] {
        const int index = m_pool->chooseForAdd(element.kind);
        QuorvPipe &pipe = m_pool->pipe(index);
        pipe.submit({ [this, index, user] { attachUser(index, user); },
                      [element, &pipe] { pipe.requestAdd(element); } });
    });
    return Success;
}

// Attaches nobody: the report goes to the user the first pipe had before.
int QuorvaneInterface::changeEvent(EventNative event)
{
    if (!m_pool)
        return NoPipePool;
    const EventElement element = EventElement::fromNative(event);
    post([this, element] {
        QuorvPipe &pipe = m_pool->first();
        pipe.submit({ {}, [element, &pipe] { pipe.requestChange(element); } });
    });
    return Success;
}

// The caller hands its list over: it is released whatever the outcome.
int QuorvaneInterface::submitListOperation(IdList ids, QuorvaneUser *user,
                                           void (QuorvPipe::*step)(), bool reports)
{
    if (!m_pool) {
        ids.release();
        return NoPipePool;
    }
    QList<QByteArray> copy;
    copy.reserve(ids.count);
    for (std::int32_t i = 0; i < ids.count; ++i)
        copy.append(QByteArray(ids.items[i]));
    std::function<void()> attach;
    if (reports)
        attach = [this, user] { attachUser(0, user); };
    post([this, copy, attach, step, reports] {
        QuorvPipe &pipe = m_pool->first();
        pipe.submit({ attach,
                      [this, copy, step, &pipe] {
                          m_pool->select(copy);
                          (pipe.*step)();
                      },
                      reports });
    });
    ids.release();
    return Success;
}

int QuorvaneInterface::deleteLocalEvents(IdList ids)
{
    return submitListOperation(ids, nullptr, &QuorvPipe::requestLocalDelete, false);
}

int QuorvaneInterface::uploadEvents(IdList ids, QuorvaneUser *user)
{
    return submitListOperation(ids, user, &QuorvPipe::uploadStep);
}

int QuorvaneInterface::downloadEvents(IdList ids, QuorvaneUser *user)
{
    return submitListOperation(ids, user, &QuorvPipe::downloadStep);
}

int QuorvaneInterface::deleteServerEvents(IdList ids, QuorvaneUser *user)
{
    return submitListOperation(ids, user, &QuorvPipe::serverDeleteStep);
}

int QuorvaneInterface::syncEvents(IdList ids, QuorvaneUser *user)
{
    return submitListOperation(ids, user, &QuorvPipe::syncStep);
}

int QuorvaneInterface::deleteEvents(IdList ids, QuorvaneUser *user)
{
    return submitListOperation(ids, user, &QuorvPipe::deleteEverywhereStep);
}

const char *QuorvaneInterface::getVersion()
{
    return Version;
}

int QuorvaneInterface::unlockKey(const char *passphrase)
{
    // The key ring guards itself: no need to carry the call to our thread.
    return KeyRing::instance().unlock(passphrase);
}

int QuorvaneInterface::getFileDigest(int fd, char hex[65])
{
    // The digests guard themselves too.
    const QByteArray digest = FetchedDigests::instance().of(fd).toHex();
    if (digest.size() != 64 || !hex)
        return Failure;
    std::memcpy(hex, digest.constData(), 65);
    return Success;
}

void QuorvaneInterface::attachUser(int pipe, QuorvaneUser *user)
{
    if (m_pool && pipe >= 0 && pipe < m_pool->size())
        m_pool->pipe(pipe).setUser(user);
    setCurrentUser(user);
}

} // namespace Quorvane
