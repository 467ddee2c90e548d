#include "EventCommands.h"

#include "CommandLine.h"
#include "RecordFormat.h"
#include "ServerProbe.h"
#include "Session.h"
#include "SharedSettings.h"
#include "Terminal.h"

#include <QDate>
#include <QDateTime>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int MaximumDays = 100000;

// Local dates go through Qt, which serialises its use of the C library's
// time zone state with the library's thread.
bool parseDay(const std::string &text, QDate *day)
{
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return false;
    for (std::size_t i : { 0, 1, 2, 3, 5, 6, 8, 9 })
        if (text[i] < '0' || text[i] > '9')
            return false;
    const QDate parsed = QDate::fromString(QString::fromStdString(text), Qt::ISODate);
    if (!parsed.isValid() || parsed.year() < 1970)
        return false;
    *day = parsed;
    return true;
}

int midnight(const QDate &day)
{
    return int(day.startOfDay().toSecsSinceEpoch());
}

bool parseCount(const std::string &text, int *value)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos
        || text.size() > 6)
        return false;
    *value = std::atoi(text.c_str());
    return *value <= MaximumDays;
}

std::vector<std::string> idsOf(const std::vector<EventRecord> &records)
{
    std::vector<std::string> ids;
    for (const EventRecord &record : records)
        ids.push_back(record.id);
    return ids;
}

std::string absolutePath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

} // namespace

EventCommands::EventCommands(const CommandLine &line, Session &session, std::ostream &out,
                             std::ostream &err)
    : m_line(line)
    , m_session(session)
    , m_out(out)
    , m_err(err)
{
}

int EventCommands::run()
{
    const std::string name = m_line.command()->name;
    m_session.provideDataFolder();
    if (name == "list")
        return list();
    if (name == "show")
        return show();
    if (name == "add")
        return add();
    if (name == "add-text")
        return addText();
    if (name == "push")
        return push();
    if (name == "pull")
        return pull();
    if (name == "sync")
        return sync();
    if (name == "rm")
        return remove();
    return open();
}

int EventCommands::usage(const std::string &message)
{
    m_err << "quorvane " << m_line.command()->name << ": " << RecordFormat::escaped(message)
          << "\nTry quorvane " << m_line.command()->name << " --help\n";
    return 1;
}

int EventCommands::accessOf(const std::string &level)
{
    // The record's values that reach the server as default_access's 2, -2, 0.
    if (level == "everyone")
        return 0;
    if (level == "friends")
        return 3;
    if (level == "me")
        return 1;
    return -1;
}

bool EventCommands::accessOption(int *access)
{
    *access = 4; // the setting default_access
    if (!m_line.has("access"))
        return true;
    *access = accessOf(m_line.value("access"));
    if (*access >= 0)
        return true;
    usage("--access takes everyone, friends or me");
    return false;
}

bool EventCommands::daysOf(ReadQuery *query)
{
    const bool all = m_line.has("all");
    const bool hasDays = m_line.has("days");
    const bool hasFrom = m_line.has("from");
    if (all) {
        if (hasDays || hasFrom) {
            usage("--all goes with neither --days nor --from");
            return false;
        }
        const ReadQuery everything = ReadQuery::everything(query->server);
        query->startTime = everything.startTime;
        query->dayCount = everything.dayCount;
        return true;
    }
    int days = 0;
    if (hasDays && !parseCount(m_line.value("days"), &days)) {
        usage("--days takes a number of days from 0 to 100000");
        return false;
    }
    if (hasFrom) {
        QDate from;
        if (!parseDay(m_line.value("from"), &from)) {
            usage("--from takes a day as YYYY-MM-DD, from 1970 on");
            return false;
        }
        // The library reads backwards from its newest day.
        const QDate today = QDate::currentDate();
        if (hasDays) {
            query->startTime = midnight(from.addDays(days));
            query->dayCount = days;
        } else {
            const qint64 span = from.daysTo(today);
            query->startTime = midnight(span >= 0 ? today : from);
            query->dayCount = span >= 0 ? int(span) : 0;
        }
    } else if (hasDays) {
        query->startTime = midnight(QDate::currentDate());
        query->dayCount = days;
    }
    return true;
}

int EventCommands::list()
{
    ReadQuery query;
    query.server = m_line.has("server");
    if (!daysOf(&query))
        return 1;
    query.searchText = m_line.value("search");
    if (m_line.has("fields")) {
        const std::string fields = m_line.value("fields");
        std::size_t start = 0;
        while (start <= fields.size()) {
            const std::size_t comma = std::min(fields.find(',', start), fields.size());
            const std::string field = fields.substr(start, comma - start);
            if (field != "name" && field != "description")
                return usage("--fields takes name, description or name,description");
            start = comma + 1;
        }
        query.searchFields = fields;
    } else if (m_line.has("search")) {
        query.searchFields = "name,description";
    }

    const int code = m_session.read(query);
    if (code != 0)
        return m_session.fail("cannot list the events", code, query.server);
    // Newest first, as people look for what they did last, ties in the
    // library's order. The records are ordered by reference: a large list
    // must not be held twice.
    const std::vector<EventRecord> &listed = m_session.events();
    std::vector<std::pair<unsigned long long, std::size_t>> order;
    order.reserve(listed.size());
    for (std::size_t i = 0; i < listed.size(); ++i)
        order.emplace_back(std::strtoull(listed[i].recordTime.c_str(), nullptr, 10), i);
    std::sort(order.begin(), order.end(), [](const auto &a, const auto &b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<const EventRecord *> records;
    records.reserve(order.size());
    for (const auto &entry : order)
        records.push_back(&listed[entry.second]);
    order = {};
    if (m_line.has("json")) {
        for (const EventRecord *record : records)
            RecordFormat::json(m_out, *record);
    } else {
        RecordFormat::table(m_out, records, Terminal::width(STDOUT_FILENO));
    }
    return 0;
}

int EventCommands::show()
{
    std::vector<std::string> ids = m_line.arguments();
    const bool server = m_line.has("server");
    const int code = m_session.read(ReadQuery::everything(server));
    if (code != 0)
        return m_session.fail("cannot read the events", code, server);
    if (!m_session.resolve(&ids)) {
        if (!server)
            m_err << "quorvane: --server looks on the server too\n";
        return Quorvane::Failure;
    }
    const EventRecord *record = m_session.find(ids.front());
    if (m_line.has("json"))
        RecordFormat::json(m_out, *record);
    else
        RecordFormat::fields(m_out, *record);
    return 0;
}

std::string EventCommands::addedId(const std::vector<std::string> &before, const std::string &name,
                                   long long since)
{
    for (const EventRecord &record : m_session.events())
        if (record.name == name && std::atoll(record.recordTime.c_str()) >= since
            && std::find(before.begin(), before.end(), record.id) == before.end())
            return record.id;
    return std::string();
}

int EventCommands::add()
{
    const std::string file = absolutePath(m_line.arguments().front());
    struct stat info;
    if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)
        || ::access(file.c_str(), R_OK) != 0)
        return usage(file + " is no readable file");
    int access;
    if (!accessOption(&access))
        return 1;
    const bool serverOnly = m_line.has("server-only");
    const std::string name
        = m_line.has("title") ? m_line.value("title") : file.substr(file.rfind('/') + 1);
    const std::string description = m_line.value("description");

    std::vector<std::string> before;
    int code = readToday(&before);
    if (code != 0)
        return code;
    const long long since = QDateTime::currentSecsSinceEpoch();

    Quorvane::EventNative event;
    event.name = name.c_str();
    event.path = file.c_str();
    event.description = description.c_str();
    event.kind = serverOnly ? 4 : 3;
    event.access = access;
    code = m_session.add(event, true);
    std::string id = addedId(before, name, since);
    // Added just after midnight, it lies in a day the read before did not cover.
    if (id.empty() && code == 0 && !serverOnly && m_session.read(ReadQuery::everything(false)) == 0)
        id = addedId(before, name, since);
    if (code != 0) {
        if (!id.empty() && !serverOnly && !m_session.interrupted())
            m_err << "quorvane: " << RecordFormat::escaped(file) << " was stored as "
                  << RecordFormat::printable(id) << '\n';
        return m_session.fail("cannot add " + RecordFormat::escaped(file), code, true);
    }
    if (id.empty()) {
        m_err << "quorvane: " << RecordFormat::escaped(file)
              << " was added, but no list shows which event it is\n";
        return Quorvane::Failure;
    }
    m_out << RecordFormat::printable(id) << '\n';
    return 0;
}

static ReadQuery todaysQuery()
{
    ReadQuery todays;
    todays.startTime = midnight(QDate::currentDate());
    return todays;
}

// Today's events, to tell a new one by; the library re-reads these days
// after a local add.
int EventCommands::readToday(std::vector<std::string> *ids)
{
    const int code = m_session.read(todaysQuery());
    if (code != 0)
        return m_session.fail("cannot read the local store", code, false);
    *ids = idsOf(m_session.events());
    return 0;
}

int EventCommands::addText()
{
    const std::string &title = m_line.arguments().front();
    std::string text;
    if (m_line.arguments().size() > 1)
        text = m_line.arguments()[1];
    else if (!Terminal::isTerminal(STDIN_FILENO))
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    int access;
    if (!accessOption(&access))
        return 1;

    std::vector<std::string> before;
    int code = readToday(&before);
    if (code != 0)
        return code;
    const long long since = QDateTime::currentSecsSinceEpoch();

    Quorvane::EventNative event;
    event.name = title.c_str();
    event.description = text.c_str();
    event.kind = 1;
    event.access = access;
    // Text events take turns over the library's pipes: only a read tells
    // which one is new.
    code = m_session.add(event, false);
    // The read below has a reason of its own; a failed add's is the one told.
    const std::string reason = m_session.user().reason();
    const int reread = m_session.read(todaysQuery());
    const std::string id = reread == 0 ? addedId(before, title, since) : std::string();
    if (code != 0) {
        if (!id.empty() && !m_session.interrupted())
            m_err << "quorvane: the text was stored as " << RecordFormat::printable(id) << '\n';
        m_session.user().restoreReason(reason);
        return m_session.fail("cannot add the text", code, true);
    }
    if (id.empty())
        return m_session.fail("the text was added but is not in the local store",
                              reread == 0 ? int(Quorvane::Failure) : reread, false);
    m_out << RecordFormat::printable(id) << '\n';
    return 0;
}

int EventCommands::push()
{
    return moveListed(&Quorvane::IQuorvane::uploadEvents, "send");
}

int EventCommands::pull()
{
    return moveListed(&Quorvane::IQuorvane::downloadEvents, "fetch");
}

// Push and pull: the given ids, looked up in a full read, end up on both sides.
int EventCommands::moveListed(Session::ListOperation operation, const char *verb)
{
    const int code = m_session.read(ReadQuery::everything(true));
    if (code != 0)
        return m_session.fail("cannot read the events", code, true);
    std::vector<std::string> ids = m_line.arguments();
    if (!m_session.resolve(&ids))
        return Quorvane::Failure;
    return runToBoth(operation, ids, verb);
}

// The library stops a list at its first failure: then each event goes on its
// own, so one whose file cannot be read or written costs that event alone.
int EventCommands::runToBoth(Session::ListOperation operation, const std::vector<std::string> &ids,
                             const char *verb)
{
    const std::string failure = std::string("cannot ") + verb;
    int result = m_session.run(operation, ids);
    if (result == 0 || ids.size() < 2 || Session::exitCode(result) != Quorvane::Failure) {
        if (result == 0)
            result = m_session.confirm(ids, Session::Expected::Both);
        return result == 0 ? 0 : m_session.fail(failure + " the events", result, true);
    }
    std::vector<std::string> names;
    for (const std::string &id : ids) {
        const EventRecord *record = m_session.find(id);
        names.push_back(RecordFormat::printable(id)
                        + (record ? " (" + RecordFormat::printable(record->name) + ")" : ""));
    }
    std::vector<std::string> done;
    int failed = 0;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        // Each answer would carry the whole list: quadratic in a large store.
        const int code = m_session.run(operation, { ids[i] }, false);
        if (code == 0) {
            done.push_back(ids[i]);
            continue;
        }
        ++failed;
        const int exit = m_session.fail(failure + " " + names[i], code, true);
        // A server that cannot be reached fails every event alike.
        if (exit != Quorvane::Failure
            || !ServerProbe::unreachable(SharedSettings::serverUrl()).empty())
            return exit;
    }
    if (!done.empty() && m_session.confirm(done, Session::Expected::Both) != 0)
        return Quorvane::Failure;
    return failed == 0 ? 0 : int(Quorvane::Failure);
}

int EventCommands::sync()
{
    std::vector<std::string> given = m_line.arguments();
    ReadQuery query;
    query.server = true;
    if (!given.empty()) {
        if (m_line.has("days") || m_line.has("from") || m_line.has("all"))
            return usage("events are given by id or by days, not both");
        query = ReadQuery::everything(true);
    } else if (!daysOf(&query)) {
        return 1;
    }
    const int code = m_session.read(query);
    if (code != 0)
        return m_session.fail("cannot read the events", code, true);
    if (!m_session.resolve(&given))
        return Quorvane::Failure;
    const std::vector<std::string> ids = given.empty() ? idsOf(m_session.events()) : given;
    if (ids.empty())
        return 0;
    return runToBoth(&Quorvane::IQuorvane::syncEvents, ids, "synchronise");
}

int EventCommands::remove()
{
    const bool localOnly = m_line.has("local");
    const bool serverOnly = m_line.has("server");
    if (localOnly && serverOnly)
        return usage("--local and --server exclude each other; give neither for both");
    std::vector<std::string> ids = m_line.arguments();
    int code = m_session.read(ReadQuery::everything(!localOnly));
    if (code != 0)
        return m_session.fail("cannot read the events", code, !localOnly);
    if (!m_session.resolve(&ids))
        return Quorvane::Failure;

    std::vector<std::string> local, server;
    for (const std::string &id : ids) {
        const int location = m_session.find(id)->location;
        const bool here = location == 0 || location == 2 || localOnly;
        const bool there = location == 1 || location == 2;
        if (serverOnly && !there) {
            m_err << "quorvane: " << RecordFormat::printable(id) << " is not on the server\n";
            return Quorvane::Failure;
        }
        if (localOnly && location == 1) {
            m_err << "quorvane: " << RecordFormat::printable(id) << " has no local copy\n";
            return Quorvane::Failure;
        }
        // An event only here has nothing to delete on the server.
        if (here && !there && !serverOnly)
            local.push_back(id);
        else if (there && !localOnly)
            server.push_back(id);
        else if (here)
            local.push_back(id);
    }
    if (!server.empty()) {
        code = m_session.run(serverOnly ? &Quorvane::IQuorvane::deleteServerEvents
                                        : &Quorvane::IQuorvane::deleteEvents,
                             server);
        if (code == 0)
            code = m_session.confirm(
                server, serverOnly ? Session::Expected::NotOnServer : Session::Expected::Nowhere);
        if (code != 0)
            return m_session.fail("cannot delete the events", code, true);
    }
    if (!local.empty()) {
        code = m_session.removeLocal(local);
        if (code != 0)
            return m_session.fail("cannot delete the local copies", code, false);
    }
    return 0;
}

int EventCommands::open()
{
    std::vector<std::string> ids = m_line.arguments();
    int code = m_session.read(ReadQuery::everything(false));
    if (code != 0)
        return m_session.fail("cannot read the local store", code, false);
    if (!m_session.resolve(&ids))
        return Quorvane::Failure;
    const std::string &id = ids.front();
    m_session.user().expectListOfFirstPipe(true);
    code = m_session.await(m_session.library()->openEventFile(id.c_str(), &m_session.user()));
    if (code != 0) {
        m_err << "quorvane: cannot open the file of " << RecordFormat::printable(id) << '\n';
        return Session::exitCode(code);
    }
    return 0;
}
