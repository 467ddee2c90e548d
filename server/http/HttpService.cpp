#include "http/HttpService.h"

#include "http/Authenticator.h"
#include "http/EventList.h"
#include "http/QueryString.h"
#include "http/RequestLog.h"
#include "http/SearchTerm.h"
#include "http/UploadBody.h"
#include "store/EventStore.h"
#include "store/FileStore.h"

#include <chrono>
#include <limits>
#include <memory>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace QuorvaneServer {

namespace {

const char *const TextType = "text/plain; charset=utf-8";
constexpr size_t ListPage = 256;
constexpr size_t ListChunk = 64 * 1024;
constexpr size_t DownloadChunk = 256 * 1024;

// What the request being served on this thread has cost so far. A connection
// is served by one thread from routing to the log line, streamed answers included.
struct Meter
{
    std::chrono::steady_clock::time_point start;
    bool started = false;
    uint64_t in = 0;
    uint64_t out = 0;
};
thread_local Meter meter;

void answer(httplib::Response &response, int status, const std::string &text)
{
    response.status = status;
    response.set_content(text, TextType);
}

void refuse(httplib::Response &response, int status, const std::string &why)
{
    answer(response, status, "error: " + why + "\n");
}

std::string missingKey(const QueryString &query, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        if (!query.has(key))
            return std::string("the query has no \"") + key + "\"";
    }
    return std::string();
}

// A decimal number, with a sign when allowed; values beyond the range are clamped.
bool parseNumber(const std::string &text, bool allowSign, int64_t &value)
{
    const bool negative = allowSign && !text.empty() && text[0] == '-';
    const size_t first = negative ? 1 : 0;
    if (text.size() == first)
        return false;
    uint64_t magnitude = 0;
    bool clamped = false;
    for (size_t i = first; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        if (magnitude > (std::numeric_limits<uint64_t>::max() - 9) / 10)
            clamped = true;
        else
            magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (clamped || magnitude > limit)
        magnitude = limit;
    value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool declaresTooLargeBody(const httplib::Request &request, uint64_t maxBody)
{
    if (!request.has_header("Content-Length"))
        return false;
    int64_t length = 0;
    return parseNumber(request.get_header_value("Content-Length"), false, length)
        && static_cast<uint64_t>(length) > maxBody;
}

struct ListQuery
{
    int64_t user = 0;
    int64_t from = 0;
    int64_t to = 0;
    std::optional<SearchTerm> description;
    std::optional<SearchTerm> title;
    EventStore::Cursor cursor;
    bool statusSent = false;
    bool done = false;

    // With both searches, either may match.
    bool matches(const EventRecord &event) const
    {
        if (!description && !title)
            return true;
        return (description && description->foundIn(event.description))
            || (title && title->foundIn(event.name));
    }
};

} // namespace

HttpService::HttpService(EventStore &events, const FileStore &files, Authenticator &authenticator,
                         RequestLog &log, Limits limits)
    : m_events(events)
    , m_files(files)
    , m_authenticator(authenticator)
    , m_log(log)
    , m_limits(limits)
{
    // The library's default is SO_REUSEPORT, which would let a second server
    // share the port unnoticed; a quick restart only needs SO_REUSEADDR.
    m_server.set_socket_options([](socket_t socket) {
        const int yes = 1;
        ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_server.set_tcp_nodelay(true);
    m_server.set_read_timeout(60);
    m_server.set_write_timeout(60);
    m_server.set_payload_max_length(m_limits.maxBody);

    m_server.set_pre_routing_handler([](const httplib::Request &, httplib::Response &) {
        meter = Meter { std::chrono::steady_clock::now(), true, 0, 0 };
        return httplib::Server::HandlerResponse::Unhandled;
    });
    m_server.set_logger([this](const httplib::Request &request, const httplib::Response &response) {
        const int64_t milliseconds = meter.started
            ? std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                    - meter.start)
                  .count()
            : 0;
        m_log.request(QueryString::forLog(request.method, {}),
                      QueryString::forLog(request.target, { "username", "password" }),
                      response.status, meter.in, meter.out + response.body.size(), milliseconds);
        meter = Meter();
    });
    m_server.set_exception_handler(
        [this](const httplib::Request &, httplib::Response &response, std::exception_ptr error) {
            std::string what = "unknown failure";
            try {
                std::rethrow_exception(error);
            } catch (const std::exception &exception) {
                what = exception.what();
            } catch (...) {
            }
            m_log.message("error: " + what);
            refuse(response, 500, "the server failed; see its log");
        });

    using Request = httplib::Request;
    using Response = httplib::Response;
    m_server.Post("/action/file/quorvget",
                  [this](const Request &q, Response &r, const Reader &b) { list(q, r, b); });
    m_server.Post("/action/file/quorvupload",
                  [this](const Request &q, Response &r, const Reader &b) { upload(q, r, b); });
    m_server.Post("/action/file/quorvdownload",
                  [this](const Request &q, Response &r, const Reader &b) { download(q, r, b); });
    m_server.Post("/action/file/quorvdelete",
                  [this](const Request &q, Response &r, const Reader &b) { remove(q, r, b); });
    m_server.Get("/action/file/quorv(get|upload|download|delete)",
                 [](const Request &, Response &response) {
                     response.set_header("Allow", "POST");
                     refuse(response, 405, "use POST");
                 });
}

int HttpService::bind(const std::string &host, int port)
{
    if (port == 0)
        return m_server.bind_to_any_port(host);
    return m_server.bind_to_port(host, port) ? port : -1;
}

void HttpService::run()
{
    m_server.listen_after_bind();
    m_finished = true;
}

void HttpService::stop()
{
    // stop() of the library acts only while its accept loop runs.
    while (!m_finished) {
        if (m_server.is_running()) {
            m_server.stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int HttpService::bodyFailureStatus(const httplib::Response &response, bool overLimit) const
{
    return overLimit || response.status == 413 ? 413 : 400;
}

int HttpService::dropBody(const httplib::Response &response, const Reader &reader) const
{
    uint64_t total = 0;
    bool overLimit = false;
    const bool complete = reader([&](const char *, size_t size) {
        meter.in += size;
        total += size;
        overLimit = total > m_limits.maxBody;
        return !overLimit;
    });
    return complete ? 0 : bodyFailureStatus(response, overLimit);
}

std::optional<int64_t> HttpService::login(const QueryString &query)
{
    return m_authenticator.login(query.value("username"), query.value("password"));
}

std::optional<int64_t> HttpService::eventOwner(const QueryString &query,
                                               httplib::Response &response, const Reader &reader)
{
    if (const int status = dropBody(response, reader)) {
        refuse(response, status, "the request body could not be read");
        return std::nullopt;
    }
    std::string problem = missingKey(query, { "username", "password", "extguid" });
    if (problem.empty()) {
        if (const char *idProblem = eventIdProblem(query.value("extguid")))
            problem = idProblem;
    }
    if (!problem.empty()) {
        refuse(response, 400, problem);
        return std::nullopt;
    }
    const auto user = login(query);
    if (!user)
        answer(response, 403, EventList::LoginRefused);
    return user;
}

void HttpService::list(const httplib::Request &request, httplib::Response &response,
                       const Reader &reader)
{
    const QueryString query(request.target);
    if (const int status = dropBody(response, reader))
        return refuse(response, status, "the request body could not be read");
    std::string problem = missingKey(query, { "username", "password", "starttime", "endtime" });
    auto listing = std::make_shared<ListQuery>();
    if (problem.empty() && !parseNumber(query.value("starttime"), true, listing->from))
        problem = "starttime is not a decimal number";
    if (problem.empty() && !parseNumber(query.value("endtime"), false, listing->to))
        problem = "endtime is not a decimal number";
    if (!problem.empty())
        return refuse(response, 400, problem);
    const auto user = login(query);
    if (!user)
        return answer(response, 200, EventList::LoginRefused);

    listing->user = *user;
    listing->cursor = { listing->from, std::string() };
    if (query.has("searchdescription"))
        listing->description.emplace(query.value("searchdescription"));
    if (query.has("searchtitle"))
        listing->title.emplace(query.value("searchtitle"));

    // Streamed a page at a time: memory stays small however many events match.
    response.status = 200;
    response.set_chunked_content_provider(
        TextType, [this, listing](size_t, httplib::DataSink &sink) {
            try {
                std::string out;
                if (!listing->statusSent) {
                    out = EventList::StatusLine;
                    listing->statusSent = true;
                }
                while (!listing->done && out.size() < ListChunk) {
                    const auto rows = m_events.page(listing->user, listing->from, listing->to,
                                                    listing->cursor, ListPage);
                    listing->done = rows.size() < ListPage;
                    for (const auto &row : rows) {
                        listing->cursor = row.position;
                        if (listing->matches(row.event))
                            EventList::append(out, row.event);
                    }
                }
                meter.out += out.size();
                if (!out.empty() && !sink.write(out.data(), out.size()))
                    return false;
                if (listing->done)
                    sink.done();
                return true;
            } catch (const std::exception &error) {
                m_log.message(std::string("error: listing events failed: ") + error.what());
                return false;
            }
        });
}

void HttpService::upload(const httplib::Request &request, httplib::Response &response,
                         const Reader &reader)
{
    const QueryString query(request.target);
    std::string problem = missingKey(query, { "username", "password", "access_id" });
    int64_t accessId = 0;
    if (problem.empty() && !parseNumber(query.value("access_id"), true, accessId))
        problem = "access_id is not a decimal number";

    // The login is checked before the body is read, so that nothing of a
    // refused upload is ever written.
    std::optional<int64_t> user;
    if (problem.empty() && !declaresTooLargeBody(request, m_limits.maxBody))
        user = login(query);

    UploadBody body(m_files, m_limits.maxDocument);
    bool storing = user.has_value();
    uint64_t total = 0;
    bool overLimit = false;
    const bool complete = reader([&](const char *data, size_t size) {
        meter.in += size;
        total += size;
        if (total > m_limits.maxBody) {
            overLimit = true;
            return false;
        }
        // A refused body is read to its end all the same, so that the client
        // gets the answer instead of a reset connection.
        if (storing)
            storing = body.consume(data, size);
        return true;
    });
    if (!complete) {
        const int status = bodyFailureStatus(response, overLimit);
        return refuse(response, status,
                      status == 413 ? "the request body is larger than "
                              + std::to_string(m_limits.maxBody) + " bytes"
                                    : "the request body broke off");
    }
    if (!problem.empty())
        return refuse(response, 400, problem);
    if (!user)
        return answer(response, 200, EventList::LoginRefused);
    if (!body.finish()) {
        if (body.failureStatus() >= 500)
            m_log.message("error: upload failed: " + body.failure());
        return refuse(response, body.failureStatus(), body.failure());
    }
    m_events.save(*user, body.event(), accessId, body.file());
    answer(response, 200, "OK saved\n");
}

void HttpService::download(const httplib::Request &request, httplib::Response &response,
                           const Reader &reader)
{
    const QueryString query(request.target);
    const std::string id = query.value("extguid");
    const auto user = eventOwner(query, response, reader);
    if (!user)
        return;
    const auto file = m_events.openFile(*user, id);
    if (!file)
        return refuse(response, 404, "no such event");

    const int fd = file->fd;
    auto buffer = std::make_shared<std::vector<char>>(DownloadChunk);
    response.status = 200;
    response.set_content_provider(
        file->size, "application/octet-stream",
        [fd, buffer](size_t offset, size_t length, httplib::DataSink &sink) {
            const size_t wanted = length < buffer->size() ? length : buffer->size();
            const ssize_t got = ::pread(fd, buffer->data(), wanted, static_cast<off_t>(offset));
            if (got <= 0)
                return false;
            meter.out += static_cast<uint64_t>(got);
            return sink.write(buffer->data(), static_cast<size_t>(got));
        },
        [fd](bool) { ::close(fd); });
}

void HttpService::remove(const httplib::Request &request, httplib::Response &response,
                         const Reader &reader)
{
    const QueryString query(request.target);
    const std::string id = query.value("extguid");
    const auto user = eventOwner(query, response, reader);
    if (!user)
        return;
    if (!m_events.remove(*user, id))
        return refuse(response, 404, "no such event");
    answer(response, 200, "OK deleted\n");
}

} // namespace QuorvaneServer
