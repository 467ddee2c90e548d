#include "http/HttpService.h"

#include "http/Authenticator.h"
#include "http/EventList.h"
#include "http/LoginThrottle.h"
#include "http/QueryString.h"
#include "http/RequestHeaders.h"
#include "http/RequestLog.h"
#include "http/SearchTerm.h"
#include "http/UploadBody.h"
#include "store/BlockSums.h"
#include "store/Database.h"
#include "store/EventStore.h"
#include "store/FileStore.h"
#include "store/Sha256.h"

#include <algorithm>
#include <deque>
#include <limits>

namespace QuorvaneServer {

namespace {

constexpr size_t ListChunk = 64 * 1024;
const char *const Prefix = "/action/file/quorv";
const char *const HealthPath = "/health";

Reply text(int status, std::string body)
{
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
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

struct ListQuery
{
    int64_t user = 0;
    int64_t from = 0;
    int64_t to = 0;
    std::optional<SearchTerm> description;
    std::optional<SearchTerm> title;
    EventStore::Cursor cursor;
    // Read but not yet answered: one page of the store at most.
    std::deque<EventRecord> pending;
    // How much of the first pending event has gone out.
    EventList::Position written;
    bool writing = false;
    bool statusSent = false;
    bool lastPage = false;

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
                         LoginThrottle &throttle, RequestLog &log, size_t maxDocument)
    : m_events(events)
    , m_files(files)
    , m_authenticator(authenticator)
    , m_throttle(throttle)
    , m_log(log)
    , m_maxDocument(maxDocument)
{
}

HttpService::~HttpService() = default;

HttpService::Route HttpService::route(const std::string &method, const std::string &target)
{
    const std::string path = target.substr(0, target.find('?'));
    if (path == HealthPath)
        return method == "GET" ? Route::Health : Route::WrongMethod;
    const std::string prefix = Prefix;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return Route::Unknown;
    const std::string name = path.substr(prefix.size());
    Route found = Route::Unknown;
    if (name == "get")
        found = Route::List;
    else if (name == "upload")
        found = Route::Upload;
    else if (name == "download")
        found = Route::Download;
    else if (name == "delete")
        found = Route::Remove;
    if (found == Route::Unknown)
        return found;
    return method == "POST" ? found : Route::WrongMethod;
}

Reply HttpService::error(int status, const std::string &why)
{
    return text(status, "error: " + why + "\n");
}

HttpService::Login HttpService::login(const QueryString &query, const std::string &address)
{
    const auto outcome = m_authenticator.login(query.value("username"), query.value("password"),
                                               m_throttle, address);
    Login result;
    result.user = outcome.user;
    result.retryAfter = outcome.retryAfter;
    return result;
}

Reply HttpService::loginRefused(int status, const Login &login) const
{
    Reply reply = text(status, EventList::LoginRefused);
    if (login.retryAfter > 0)
        reply.headers.emplace_back("Retry-After", std::to_string(login.retryAfter));
    return reply;
}

std::optional<HttpService::Upload> HttpService::beginUpload(const Request &request, Reply &refusal)
{
    const QueryString query(request.target);
    Upload upload;
    std::string problem = missingKey(query, { "username", "password", "access_id" });
    if (problem.empty() && !parseNumber(query.value("access_id"), true, upload.accessId))
        problem = "access_id is not a decimal number";
    if (!problem.empty()) {
        refusal = error(400, problem);
        return std::nullopt;
    }
    // The login is checked before the body is read, so that nothing of a
    // refused upload is ever written.
    const Login result = login(query, request.address);
    if (!result.user) {
        refusal = loginRefused(200, result);
        return std::nullopt;
    }
    upload.user = *result.user;
    upload.reprDigest = request.reprDigest;
    upload.body = std::make_unique<UploadBody>(m_files, m_maxDocument, request.length);
    return upload;
}

Reply HttpService::refusedUpload(Upload &upload)
{
    UploadBody &body = *upload.body;
    if (body.failureStatus() >= 500 && body.failureStatus() != 507)
        m_log.message("error: upload failed: " + body.failure());
    return error(body.failureStatus(), body.failure());
}

Reply HttpService::finishUpload(Upload &upload)
{
    UploadBody &body = *upload.body;
    if (!body.finish())
        return refusedUpload(upload);
    // A file that differs from what its sender hashed was changed on the way:
    // nothing of it is kept.
    if (!RequestHeaders::digestAgrees(upload.reprDigest, body.file().digest()))
        return error(400, "the file does not match the sha-256 of its Repr-Digest");
    try {
        if (!m_events.save(upload.user, body.event(), upload.accessId, body.file()))
            return loginRefused(200, {});
    } catch (const DatabaseError &failure) {
        if (failure.unavailable())
            return unavailable(failure);
        if (!failure.full())
            throw;
        return error(507, std::string("no room to store the upload: ") + failure.what());
    }
    Reply reply = text(200, "OK saved\n");
    reply.headers.emplace_back("Repr-Digest", Sha256::reprDigest(body.file().digest()));
    return reply;
}

Reply HttpService::answer(const Request &request, Route route)
{
    switch (route) {
    case Route::List:
        return list(request);
    case Route::Download:
        return download(request);
    case Route::Remove:
        return remove(request);
    case Route::Health:
        return health();
    case Route::WrongMethod: {
        const bool health = request.target.substr(0, request.target.find('?')) == HealthPath;
        Reply reply = error(405, health ? "use GET" : "use POST");
        reply.headers.emplace_back("Allow", health ? "GET" : "POST");
        return reply;
    }
    case Route::Upload:
    case Route::Unknown:
        break;
    }
    return error(404, "no such service");
}

Reply HttpService::health()
{
    std::string problem = m_files.problem();
    if (problem.empty()) {
        try {
            m_events.ping();
        } catch (const std::exception &failure) {
            problem = std::string("the database does not answer: ") + failure.what();
        }
    }
    if (problem.empty())
        return text(200, "OK\n");
    // The details go to the log, not to whoever asks.
    m_log.message("health: " + problem);
    return error(503, "unavailable");
}

std::optional<int64_t> HttpService::eventOwner(const Request &request, const QueryString &query,
                                               Reply &refusal)
{
    std::string problem = missingKey(query, { "username", "password", "extguid" });
    if (problem.empty()) {
        if (const char *idProblem = eventIdProblem(query.value("extguid")))
            problem = idProblem;
    }
    if (!problem.empty()) {
        refusal = error(400, problem);
        return std::nullopt;
    }
    const Login result = login(query, request.address);
    if (!result.user)
        refusal = loginRefused(403, result);
    return result.user;
}

Reply HttpService::list(const Request &request)
{
    const QueryString query(request.target);
    std::string problem = missingKey(query, { "username", "password", "starttime", "endtime" });
    auto listing = std::make_shared<ListQuery>();
    if (problem.empty() && !parseNumber(query.value("starttime"), true, listing->from))
        problem = "starttime is not a decimal number";
    if (problem.empty() && !parseNumber(query.value("endtime"), false, listing->to))
        problem = "endtime is not a decimal number";
    if (!problem.empty())
        return error(400, problem);
    const Login result = login(query, request.address);
    if (!result.user)
        return loginRefused(200, result);

    listing->user = *result.user;
    listing->cursor = { listing->from, std::string() };
    if (query.has("searchdescription"))
        listing->description.emplace(query.value("searchdescription"));
    if (query.has("searchtitle"))
        listing->title.emplace(query.value("searchtitle"));

    // Streamed a piece at a time as the client takes it: a piece of about
    // ListChunk bytes and a page of the store are all a reader holds, however
    // many events match and whatever they hold.
    Reply reply;
    reply.next = [this, listing](std::string &out, bool &done) {
        try {
            // Room for what a piece may run over and for its chunk framing,
            // which then costs no copy.
            out.reserve(ListChunk + 256);
            if (!listing->statusSent) {
                out = EventList::StatusLine;
                listing->statusSent = true;
            }
            while (out.size() < ListChunk) {
                if (listing->pending.empty()) {
                    if (listing->lastPage)
                        break;
                    auto page = m_events.page(listing->user, listing->to, listing->cursor);
                    listing->cursor = std::move(page.next);
                    listing->lastPage = page.last;
                    for (auto &event : page.events)
                        listing->pending.push_back(std::move(event));
                    continue;
                }
                const EventRecord &event = listing->pending.front();
                if (!listing->writing && !listing->matches(event)) {
                    listing->pending.pop_front();
                    continue;
                }
                listing->writing = true;
                if (!EventList::append(out, event, listing->written, ListChunk))
                    break;
                listing->written = {};
                listing->writing = false;
                listing->pending.pop_front();
            }
            done = listing->lastPage && listing->pending.empty();
            return true;
        } catch (const std::exception &failure) {
            m_log.message(std::string("error: listing events failed: ") + failure.what());
            return false;
        }
    };
    return reply;
}

Reply HttpService::download(const Request &request)
{
    const QueryString query(request.target);
    Reply refusal;
    const auto user = eventOwner(request, query, refusal);
    if (!user)
        return refusal;
    const std::string id = query.value("extguid");
    std::optional<EventStore::OpenFile> stored;
    try {
        stored = m_events.openFile(
            *user, id,
            [&request](uint64_t size) -> std::optional<std::pair<uint64_t, uint64_t>> {
                uint64_t first = 0;
                uint64_t last = 0;
                if (size > 0
                    && RequestHeaders::range(request.range, size, first, last)
                        == RequestHeaders::Range::Part)
                    return std::make_pair(first, last);
                return std::nullopt;
            },
            request.gone);
    } catch (const DatabaseError &failure) {
        if (!failure.unavailable())
            throw;
        return unavailable(failure);
    }
    if (!stored)
        return error(404, "no such event");

    auto file = std::make_shared<FileSource>();
    file->fd = stored->fd;
    file->size = stored->size;
    file->stream = std::move(stored->stream);
    file->from = stored->from;
    file->digest = stored->digest;
    file->eventId = id;
    if (stored->hasBlockSums && file->size > 0) {
        // A file of another length than uploaded is damaged whatever its
        // blocks hold: a cut at a block's end would pass every block.
        if (stored->uploadedSize != file->size || !BlockSums::fit(stored->blockSums, file->size)) {
            m_log.message("error: the stored file of event " + QueryString::forLog(id, {}) + " has "
                          + std::to_string(file->size) + " bytes, not the "
                          + std::to_string(stored->uploadedSize)
                          + " uploaded; it no longer matches its hash; not sent");
            return error(500, "the stored file is damaged");
        }
        // From a pipe, each block is held and checked before it is sent,
        // which costs far less than hashing the whole stream again.
        file->blockSums = std::move(stored->blockSums);
    }
    if (file->size == 0 && !file->digest.empty()) {
        Sha256 empty;
        if (empty.finish() != file->digest) {
            m_log.message("error: the stored file of event " + QueryString::forLog(id, {})
                          + " no longer matches its hash; not sent");
            return error(500, "the stored file is damaged");
        }
    }

    Reply reply;
    reply.contentType = "application/octet-stream";
    reply.headers.emplace_back("Accept-Ranges", "bytes");
    if (!file->digest.empty())
        reply.headers.emplace_back("Repr-Digest", Sha256::reprDigest(file->digest));
    file->first = 0;
    file->last = file->size - 1;
    switch (RequestHeaders::range(request.range, file->size, file->first, file->last)) {
    case RequestHeaders::Range::Whole:
        file->first = 0;
        file->last = file->size - 1;
        break;
    case RequestHeaders::Range::Part:
        reply.status = 206;
        reply.headers.emplace_back("Content-Range",
                                   "bytes " + std::to_string(file->first) + "-"
                                       + std::to_string(file->last) + "/"
                                       + std::to_string(file->size));
        break;
    case RequestHeaders::Range::Outside: {
        Reply outside = error(416, "the range lies outside the file");
        outside.headers.emplace_back("Content-Range", "bytes */" + std::to_string(file->size));
        return outside;
    }
    }
    reply.file = std::move(file);
    return reply;
}

Reply HttpService::remove(const Request &request)
{
    const QueryString query(request.target);
    Reply refusal;
    const auto user = eventOwner(request, query, refusal);
    if (!user)
        return refusal;
    try {
        if (!m_events.remove(*user, query.value("extguid")))
            return error(404, "no such event");
    } catch (const DatabaseError &failure) {
        if (!failure.unavailable())
            throw;
        return unavailable(failure);
    }
    return text(200, "OK deleted\n");
}

Reply HttpService::unavailable(const DatabaseError &failure)
{
    // The stored state is whole either way; the client's retry ends right.
    m_log.message(std::string("error: ") + failure.what());
    Reply reply = error(503, "the database is unavailable, try again");
    reply.headers.emplace_back("Retry-After", "5");
    return reply;
}

} // namespace QuorvaneServer
