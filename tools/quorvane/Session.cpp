#include "Session.h"

#include "LibraryBinding.h"
#include "Progress.h"
#include "RecordFormat.h"
#include "ServerProbe.h"
#include "SharedSettings.h"

#include <QDate>
#include <QDateTime>
#include <cstdlib>

namespace {

qint64 todayMidnight()
{
    return QDate::currentDate().startOfDay().toSecsSinceEpoch();
}

} // namespace

ReadQuery ReadQuery::everything(bool server)
{
    ReadQuery query;
    query.server = server;
    query.startTime = int(todayMidnight());
    // The local store stops at the first possible day itself.
    query.dayCount = int(query.startTime / 86400) + 1;
    return query;
}

Session::Session(Quorvane::IQuorvane *library, Progress &progress, std::ostream &err)
    : m_library(library)
    , m_progress(progress)
    , m_err(err)
    , m_user(new CommandUser(library, progress))
{
}

Session::~Session()
{
    m_user->retire();
    m_progress.clear();
}

int Session::exitCode(int libraryCode)
{
    switch (libraryCode) {
    case Quorvane::Success:
    case Quorvane::LoginRefused:
    case Quorvane::Cancelled:
        return libraryCode;
    default:
        return Quorvane::Failure;
    }
}

int Session::await(int result)
{
    // Without pipes the library takes nothing and will never report.
    if (result != Quorvane::Success)
        return Quorvane::Failure;
    return m_user->wait();
}

int Session::read(const ReadQuery &query)
{
    m_user->expectListOfFirstPipe(true);
    return await(m_library->loadEvents(m_user, query.server, query.dayCount, query.startTime,
                                       query.searchText.c_str(), query.searchFields.c_str(),
                                       false));
}

const EventRecord *Session::find(const std::string &id) const
{
    for (const EventRecord &record : events())
        if (record.id == id)
            return &record;
    return nullptr;
}

bool Session::resolve(std::vector<std::string> *ids)
{
    for (std::string &id : *ids) {
        if (find(id))
            continue;
        const EventRecord *match = nullptr;
        int matches = 0;
        for (const EventRecord &record : events()) {
            if (id.size() >= 4 && record.id.compare(0, id.size(), id) == 0) {
                match = &record;
                ++matches;
            }
        }
        if (matches != 1) {
            m_progress.clear();
            m_err << "quorvane: " << (matches ? "more than one event starts with " : "no event ")
                  << RecordFormat::printable(id) << '\n';
            return false;
        }
        id = match->id;
    }
    return true;
}

int Session::confirm(const std::vector<std::string> &ids, Expected expected)
{
    const int code = read(ReadQuery::everything(true));
    if (code != Quorvane::Success)
        return code;
    for (const std::string &id : ids) {
        const EventRecord *record = find(id);
        const int location = record ? record->location : -1;
        const bool right = expected == Expected::Both ? location == 2
            : expected == Expected::NotOnServer       ? location != 1 && location != 2
                                                      : location == -1;
        if (!right) {
            m_progress.clear();
            m_err << "quorvane: " << RecordFormat::printable(id) << " is "
                  << (record ? "still " + record->where() : std::string("gone"))
                  << " after the library reported success\n";
            return Quorvane::Failure;
        }
    }
    return Quorvane::Success;
}

int Session::run(ListOperation operation, const std::vector<std::string> &ids, bool keepList)
{
    // The library's lists hold ids of exactly this length: another id would
    // be cut, select nothing and still report success.
    for (const std::string &id : ids) {
        if (id.size() != std::size_t(Quorvane::IdList::IdLength)) {
            m_progress.clear();
            m_err << "quorvane: the library cannot select the event " << RecordFormat::printable(id)
                  << ": its id is not " << Quorvane::IdList::IdLength << " characters long\n";
            return Quorvane::Failure;
        }
    }
    Quorvane::IdList list = Quorvane::IdList::withCapacity(int(ids.size()));
    for (const std::string &id : ids)
        list.append(id.c_str());
    m_user->expectListOfFirstPipe(keepList);
    // The library releases the list, whatever it does with it.
    return await((m_library->*operation)(list, m_user));
}

int Session::removeLocal(const std::vector<std::string> &ids)
{
    Quorvane::IdList list = Quorvane::IdList::withCapacity(int(ids.size()));
    for (const std::string &id : ids)
        list.append(id.c_str());
    if (m_library->deleteLocalEvents(list) != Quorvane::Success)
        return Quorvane::Failure;
    // Queued behind the removal on the same pipe.
    const int code = read(ReadQuery::everything(false));
    if (code != Quorvane::Success)
        return code;
    // A read of the local store still lists the server's events this process
    // fetched last: only a local copy counts.
    for (const std::string &id : ids) {
        const EventRecord *left = find(id);
        if (left && (left->location == 0 || left->location == 2))
            return Quorvane::Failure;
    }
    return Quorvane::Success;
}

int Session::add(const Quorvane::EventNative &event, bool firstPipe)
{
    m_user->expectListOfFirstPipe(firstPipe);
    return await(m_library->addEvent(event, m_user));
}

int Session::fail(const std::string &what, int code, bool server)
{
    m_progress.clear();
    const int exit = exitCode(code);
    m_err << "quorvane: " << what << ": ";
    if (exit == Quorvane::LoginRefused) {
        m_err << "the server refused the login (see quorvane config user, and "
                 "quorvane config --password-stdin password)\n";
    } else if (exit == Quorvane::Cancelled) {
        m_err << "cancelled\n";
    } else if (!m_user->reason().empty()) {
        m_err << RecordFormat::printable(m_user->reason()) << '\n';
    } else if (server) {
        const std::string reason = ServerProbe::unreachable(SharedSettings::serverUrl());
        m_err << (reason.empty() ? "the server at " + SharedSettings::serverUrl()
                          + " answered with an error, or a local file could not be read or written"
                                 : reason)
              << '\n';
    } else {
        m_err << "a file of the local store could not be read or written\n";
    }
    return exit;
}

void Session::provideDataFolder()
{
    if (!LibraryBinding::dataPath(m_library).empty())
        return;
    // keycrate's own default, so both find the same store.
    const char *dataHome = std::getenv("XDG_DATA_HOME");
    const char *home = std::getenv("HOME");
    std::string folder;
    if (dataHome && *dataHome == '/')
        folder = dataHome;
    else
        folder = std::string(home ? home : "") + "/.local/share";
    folder += "/keycrate/events";
    m_library->setDataPath(folder.c_str());
}
