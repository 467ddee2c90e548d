#include "QuorvPipe.h"

#include "ContentType.h"
#include "CurrentUser.h"

#include <QDateTime>
#include <QTimerEvent>
#include <QUuid>
#include <algorithm>
#include <utility>

namespace Quorvane {

namespace {

// Which events a step works on. A fetched event (kind 0) always qualifies for
// transfer: its file comes from its address, not from either store.
bool uploadQualifies(const EventElement &event)
{
    return event.kind == 0 || (event.location != 1 && event.location != 2);
}

bool downloadQualifies(const EventElement &event)
{
    return event.kind == 0 || (event.location != 0 && event.location != 2);
}

// Events on both sides need nothing, and an event whose location was never
// determined (an added one, say) is left alone rather than guessed at.
bool syncQualifies(const EventElement &event)
{
    return event.location == 0 || event.location == 1;
}

bool anyQualifies(const EventElement &)
{
    return true;
}

// What the host sees of a stored event: every text but the change time, and
// the integers it did not ask for at their initial values. The copy shares
// the stored event's texts.
EventElement exportedCopy(const EventElement &stored)
{
    EventElement copy(stored);
    const QByteArray empty("");
    EventElement::Texts missing {};
    bool anyMissing = false;
    for (int field = 0; field < EventElement::FieldCount; ++field) {
        if (field != EventElement::RecordChanged && !stored.has(EventElement::Field(field))) {
            missing[field] = &empty;
            anyMissing = true;
        }
    }
    if (anyMissing)
        copy.setTexts(missing);
    copy.unset(EventElement::RecordChanged);
    copy.reserved = nullptr;
    copy.listed = false;
    copy.kind = 3;
    copy.access = 4;
    const int location = stored.location;
    copy.location = (location == 0 || location == 1 || location == 2) ? location : 3;
    return copy;
}

QByteArray now()
{
    return formatTimeStamp(quint32(QDateTime::currentSecsSinceEpoch()));
}

} // namespace

// Counts the pipe's own calls in progress, so a cancel that arrives from inside
// one of them (a callback) waits until the call is back out: the server side
// may be half way through starting its next request at that moment.
class QuorvPipe::CallScope
{
public:
    explicit CallScope(QuorvPipe &pipe)
        : m_pipe(pipe)
    {
        ++m_pipe.m_depth;
    }
    ~CallScope()
    {
        if (--m_pipe.m_depth == 0 && m_pipe.m_cancelRequested) {
            m_pipe.m_cancelRequested = false;
            if (m_pipe.m_busy)
                m_pipe.cancelPending();
        }
    }

private:
    QuorvPipe &m_pipe;
};

QuorvPipe::QuorvPipe()
{
    // The server side wakes this pipe through its timer when a reply is in.
    setOwnerTimer(&m_timer, this);
}

QuorvPipe::~QuorvPipe() = default;

void QuorvPipe::submit(Request request)
{
    Queued entry { std::move(request), false };
    if (m_busy) {
        m_queue.append(std::move(entry));
        return;
    }
    run(entry);
}

void QuorvPipe::cancelAll()
{
    for (Queued &entry : m_queue)
        entry.cancelled = true;
    if (!m_busy)
        return;
    if (m_depth > 0) {
        m_cancelRequested = true;
        return;
    }
    cancelPending();
}

void QuorvPipe::cancelPending()
{
    m_steps.clear();
    cancelCurrentHttpOperation();
    // The cancelled result is collected on the next tick, whether or not the
    // aborted transfer still reports its end.
    if (!m_timer.isActive())
        m_timer.start(OwnerTimerInterval, this);
}

void QuorvPipe::run(Queued &entry)
{
    CallScope scope(*this);
    Request request = std::move(entry.request);
    // A request that reports nothing (the local delete) is local work that
    // ends at once: a cancel aimed at transfers must not swallow it unseen.
    if (entry.cancelled && request.reports) {
        if (request.attach)
            request.attach();
        exportResults();
        reportMessage(tr("Error."));
        if (m_user)
            m_user->OnFinished(ResultCode::Cancelled, int(m_results.size()));
        return;
    }
    m_busy = true;
    if (request.attach)
        request.attach();
    request.start();
    if (m_busy && !m_pending) {
        // Ended without a report, as the local delete does by design. The end
        // of a request still clears its selection.
        m_busy = false;
        clearWork();
        m_steps.clear();
        drainQueue();
    }
}

void QuorvPipe::drainQueue()
{
    if (m_draining)
        return;
    m_draining = true;
    while (!m_busy && !m_queue.isEmpty()) {
        Queued entry = m_queue.takeFirst();
        run(entry);
    }
    m_draining = false;
}

EventNative **QuorvPipe::exportedList()
{
    return m_exportedPointers.empty() ? nullptr : m_exportedPointers.data();
}

bool QuorvPipe::finish(int result)
{
    if (result == Started) {
        m_pending = true;
        return false;
    }
    // The exported list is rebuilt only when a request ends, so the list the
    // host holds stays valid until then.
    exportResults();
    clearWork();
    m_steps.clear();
    m_pending = false;
    m_cancelRequested = false;
    m_timer.stop();
    reportMessage(result == Success ? tr("Done.") : tr("Error."));
    // A cancel heard inside that message found nothing left to cancel; it
    // must not fall on a request submitted from inside OnFinished.
    m_cancelRequested = false;
    // Free again only now: a request submitted from inside OnMessage waits for
    // this one's OnFinished; one submitted from inside OnFinished starts at once.
    m_busy = false;
    if (m_user)
        m_user->OnFinished(result, int(m_results.size()));
    drainQueue();
    return result == Success;
}

void QuorvPipe::noteChanged(const QByteArray &id)
{
    if (!m_exportAll)
        m_changedIds.insert(id);
}

void QuorvPipe::exportResults()
{
    if (m_exportAll) {
        m_exportAll = false;
        m_changedIds.clear();
        m_exportedPointers.clear();
        m_exported.clear();
        m_exportedPointers.reserve(std::size_t(m_results.size()));
        for (const EventElement &stored : std::as_const(m_results)) {
            m_exported.push_back(exportedCopy(stored));
            m_exportedPointers.push_back(&m_exported.back());
        }
        return;
    }
    const auto idOf = [](const EventNative *exported) {
        return static_cast<const EventElement *>(exported)->view(EventElement::Id);
    };
    const auto byId = [&idOf](const EventNative *exported, const QByteArray &id) {
        return idOf(exported) < QByteArrayView(id);
    };
    for (const QByteArray &id : std::as_const(m_changedIds)) {
        const auto stored = m_results.constFind(id);
        if (stored == m_results.cend())
            continue;
        const auto at
            = std::lower_bound(m_exportedPointers.begin(), m_exportedPointers.end(), id, byId);
        if (at != m_exportedPointers.end() && idOf(*at) == QByteArrayView(id)) {
            *static_cast<EventElement *>(*at) = exportedCopy(*stored);
        } else {
            m_exported.push_back(exportedCopy(*stored));
            m_exportedPointers.insert(at, &m_exported.back());
        }
    }
    m_changedIds.clear();
}

int QuorvPipe::dispatch(int operation, int target, EventElement &event)
{
    switch (operation) {
    case OpenOperation:
        return target == LocalTarget ? localSide().openEvent(event) : Failure;
    case SaveOperation:
        if (target == ServerTarget)
            return serverSide().saveEvent(event);
        if (target == LocalTarget)
            return localSide().saveEvent(event);
        return Failure;
    case DownloadOperation:
        return target == ServerTarget ? serverSide().downloadEvent(event) : Failure;
    case RemoveOperation:
        if (target == ServerTarget)
            return serverSide().removeEvent(event);
        if (target == LocalTarget)
            return localSide().removeEvent(event);
        if (target == BothTargets) {
            // The local folder goes first; only the server's answer counts.
            localSide().removeEvent(event);
            return serverSide().removeEvent(event);
        }
        return Failure;
    case UpdateOperation:
        return target == LocalTarget ? localSide().updateEvent(event) : Failure;
    default:
        return Failure;
    }
}

void QuorvPipe::proceed()
{
    EventElement *event = currentEvent();
    if (!event) {
        finish(Failure);
        return;
    }
    const int result = dispatch(m_operation, m_target, *event);
    if (result != Success) {
        finish(result);
        return;
    }
    if (!m_steps.isEmpty()) {
        runTopStep();
        return;
    }
    // Later events of an upload run are checked like the first one, so an
    // event that is already on the server is not sent again.
    const Qualifies qualifies = m_operation == SaveOperation
        ? uploadQualifies
        : (m_operation == DownloadOperation ? downloadQualifies : anyQualifies);
    while (moveToNext()) {
        if (qualifies(*currentEvent())) {
            finish(dispatch(m_operation, m_target, *currentEvent()));
            return;
        }
    }
    finish(Success);
}

bool QuorvPipe::beginOrContinue()
{
    // Nothing selected still ends the request with a report, so a host that
    // waits for OnFinished is never left waiting.
    if (m_workQueue.isEmpty()) {
        finish(Success);
        return false;
    }
    const bool freshStart = !m_results.isEmpty() && !m_timer.isActive();
    if (freshStart) {
        moveToFirst();
        return true;
    }
    if (m_steps.isEmpty() && !moveToNext()) {
        finish(Success);
        return false;
    }
    return true;
}

bool QuorvPipe::skipForward(Qualifies qualifies)
{
    for (;;) {
        EventElement *event = currentEvent();
        if (!event) {
            finish(Success);
            return false;
        }
        if (qualifies(*event))
            return true;
        if (!moveOnWithoutWork())
            return false;
    }
}

// The current event needs nothing from this step: carry on as if the step had
// finished it. With steps waiting, the next one runs on this same event (it is
// theirs to judge); otherwise the next queued event comes up.
bool QuorvPipe::moveOnWithoutWork()
{
    if (!m_steps.isEmpty()) {
        runTopStep();
        return false;
    }
    if (moveToNext())
        return true;
    finish(Success);
    return false;
}

void QuorvPipe::runTopStep()
{
    const Step step = m_steps.takeLast();
    (this->*step)();
}

void QuorvPipe::uploadStep()
{
    if (!beginOrContinue() || !skipForward(uploadQualifies))
        return;
    m_operation = SaveOperation;
    m_target = ServerTarget;
    finish(dispatch(m_operation, m_target, *currentEvent()));
}

void QuorvPipe::downloadStep()
{
    if (!beginOrContinue() || !skipForward(downloadQualifies))
        return;
    EventElement &event = *currentEvent();
    // Last in, first out: download, save locally, upload (fetched events
    // only), then the next event.
    m_steps.append(&QuorvPipe::downloadStep);
    if (event.kind == 0)
        m_steps.append(&QuorvPipe::uploadStep);
    m_steps.append(&QuorvPipe::saveLocalStep);
    m_operation = DownloadOperation;
    m_target = ServerTarget;
    finish(dispatch(m_operation, m_target, event));
}

void QuorvPipe::syncStep()
{
    if (!beginOrContinue() || !skipForward(syncQualifies))
        return;
    EventElement &event = *currentEvent();
    m_steps.append(&QuorvPipe::syncStep);
    if (event.location == 1) {
        m_steps.append(&QuorvPipe::saveLocalStep);
        m_operation = DownloadOperation;
    } else {
        m_operation = SaveOperation;
    }
    m_target = ServerTarget;
    finish(dispatch(m_operation, m_target, event));
}

void QuorvPipe::serverDeleteStep()
{
    if (!beginOrContinue())
        return;
    m_operation = RemoveOperation;
    m_target = ServerTarget;
    finish(dispatch(m_operation, m_target, *currentEvent()));
}

void QuorvPipe::deleteEverywhereStep()
{
    if (!beginOrContinue())
        return;
    m_operation = RemoveOperation;
    m_target = BothTargets;
    finish(dispatch(m_operation, m_target, *currentEvent()));
}

void QuorvPipe::saveLocalStep()
{
    EventElement *event = currentEvent();
    if (!event) {
        finish(Failure);
        return;
    }
    const int result = localSide().saveEvent(*event);
    // A fetched event now names its stored copy; the host sees that name too.
    if (result == Success) {
        const auto stored = m_results.find(event->getId());
        if (stored != m_results.end() && stored->getPath() != event->getPath()) {
            stored->setPath(event->getPath());
            noteChanged(stored.key());
        }
    }
    if (result != Success || m_steps.isEmpty()) {
        finish(result);
        return;
    }
    runTopStep();
}

void QuorvPipe::requestOpen()
{
    if (m_workQueue.size() != 1) {
        finish(Failure);
        return;
    }
    moveToFirst();
    m_operation = OpenOperation;
    m_target = LocalTarget;
    const int result = dispatch(m_operation, m_target, *currentEvent());
    if (result == Success && !m_steps.isEmpty()) {
        runTopStep();
        return;
    }
    finish(result);
}

void QuorvPipe::requestLocalDelete()
{
    for (EventElement &event : m_workQueue)
        localSide().removeEvent(event);
}

void QuorvPipe::requestChange(const EventElement &given)
{
    EventElement event = given;
    event.setRecordChanged(now());
    event.setType(contentTypeFor(event.getPath()));
    finish(localSide().updateEvent(event));
}

void QuorvPipe::requestAdd(const EventElement &given)
{
    EventElement event = given;
    const QByteArray stamp = now();
    event.setRecordTime(stamp);
    event.setRecordChanged(stamp);
    event.setId(QUuid::createUuid().toByteArray(QUuid::WithoutBraces));
    if (event.getType().isEmpty())
        event.setType(contentTypeFor(event.getPath()));

    // The add works on its one event and nothing left from before.
    clearWork();
    m_results.insert(event.getId(), event);
    noteChanged(event.getId());
    m_workQueue.insert(event.getId(), event);
    moveToFirst();

    switch (event.kind) {
    case 0:
        downloadStep();
        break;
    case 1:
    case 2:
        if (event.access != 2)
            m_steps.append(&QuorvPipe::uploadStep);
        saveLocalStep();
        break;
    case 4:
        uploadStep();
        break;
    default:
        // Last in, first out: save locally, upload, read again.
        m_steps.append(&QuorvPipe::repeatRead);
        if (event.access != 2)
            m_steps.append(&QuorvPipe::uploadStep);
        saveLocalStep();
        break;
    }
}

void QuorvPipe::requestRead(bool serverOption, int dayCount, int startTime,
                            const QByteArray &searchText, const QByteArray &searchFields,
                            bool repeatLast)
{
    if (repeatLast) {
        repeatRead();
        return;
    }
    CommonBase &shared = query();
    shared.searchFields = searchFields;
    shared.searchText = searchText;
    shared.serverOption = serverOption;
    shared.dayCount = dayCount;
    shared.startTime = startTime == 0 ? -1 : startTime;
    m_operation = ReadOperation;
    finish(syncRead());
}

void QuorvPipe::repeatRead()
{
    const CommonBase &shared = query();
    requestRead(shared.serverOption, shared.dayCount, shared.startTime, shared.searchText,
                shared.searchFields, false);
}

int QuorvPipe::syncRead()
{
    const CommonBase &shared = query();
    EventMap server;
    int result
        = serverSide().readEvents(server, shared.serverOption, shared.dayCount, shared.startTime);
    if (result != Success)
        return result;
    EventMap local;
    result = localSide().readEvents(local, shared.serverOption, shared.dayCount, shared.startTime);
    if (result != Success)
        return result;

    // Nothing stored here: the server's list, already marked as the server's
    // and listed, is the result map as it is, shared rather than copied.
    const auto serverOnly
        = [](const EventElement &event) { return event.location == 1 && event.listed; };
    if (local.isEmpty() && std::all_of(server.cbegin(), server.cend(), serverOnly)) {
        m_results = server;
        m_exportAll = true;
        return Success;
    }
    // The local map becomes the result map in place: a copy of it, or of the
    // server's list, would cost every event of a large list a second record.
    for (auto it = local.begin(); it != local.end(); ++it) {
        it->location = server.contains(it.key()) ? 2 : 0;
        it->listed = true;
    }
    for (auto it = server.cbegin(); it != server.cend(); ++it) {
        if (local.contains(it.key()))
            continue;
        EventElement &event = local[it.key()];
        event = it.value();
        event.location = 1;
        event.listed = true;
    }
    m_results = std::move(local);
    m_exportAll = true;
    return Success;
}

void QuorvPipe::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_timer.timerId()) {
        QuorvaneConnection::timerEvent(event);
        return;
    }
    // A reply that comes in after its request has ended has nobody to wake.
    if (!m_busy) {
        m_timer.stop();
        return;
    }
    CallScope scope(*this);
    switch (m_operation) {
    case ReadOperation:
        finish(syncRead());
        break;
    case SaveOperation:
    case DownloadOperation:
        if (m_timer.isActive() && m_hasCurrent) {
            m_target = ServerTarget;
            proceed();
        }
        break;
    case RemoveOperation:
        if ((m_target == ServerTarget || m_target == BothTargets) && m_timer.isActive())
            proceed();
        break;
    case IdleOperation:
        m_timer.stop();
        break;
    default:
        break;
    }
}

EventElement *QuorvPipe::currentEvent()
{
    if (!m_hasCurrent)
        return nullptr;
    auto it = m_workQueue.find(m_currentId);
    return it == m_workQueue.end() ? nullptr : &it.value();
}

bool QuorvPipe::moveToFirst()
{
    m_hasCurrent = !m_workQueue.isEmpty();
    m_currentId = m_hasCurrent ? m_workQueue.firstKey() : QByteArray();
    return m_hasCurrent;
}

bool QuorvPipe::moveToNext()
{
    if (!m_hasCurrent)
        return false;
    const auto next = std::as_const(m_workQueue).upperBound(m_currentId);
    m_hasCurrent = next != m_workQueue.cend();
    m_currentId = m_hasCurrent ? next.key() : QByteArray();
    return m_hasCurrent;
}

void QuorvPipe::clearWork()
{
    m_workQueue.clear();
    m_hasCurrent = false;
    m_currentId.clear();
}

} // namespace Quorvane
