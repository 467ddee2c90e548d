#pragma once

#include "http/Reply.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace QuorvaneServer {

class DatabaseError;

class Authenticator;
class EventStore;
class FileStore;
class LoginThrottle;
class QueryString;
class RequestLog;
class UploadBody;

// The backup protocol: POST "/action/file/" followed by "quorvget",
// "quorvupload", "quorvdownload" or "quorvdelete", with the account in the
// query. Knows nothing of sockets; the connection hands in what it has read
// and sends what it gets back. Calls that touch the disk or hash a password
// block, so connections make them away from their network threads.
class HttpService
{
public:
    enum class Route { List, Upload, Download, Remove, Health, WrongMethod, Unknown };

    struct Request
    {
        std::string method;
        std::string target;
        std::string address;
        // The Range field, empty when none was sent.
        std::string range;
        // The body's length when a Content-Length gives it.
        std::optional<uint64_t> length;
        // The Repr-Digest field lines, joined by ", "; empty when none was sent.
        std::string reprDigest;
        // Whether the client went while the answer is made; empty when that
        // is not watched.
        std::function<bool()> gone;
    };

    // An upload whose login has been checked and whose body may now be read.
    struct Upload
    {
        int64_t user = 0;
        int64_t accessId = 0;
        std::unique_ptr<UploadBody> body;
        // The file's digest as the client gave it, checked once the file is whole.
        std::string reprDigest;
    };

    HttpService(EventStore &events, const FileStore &files, Authenticator &authenticator,
                LoginThrottle &throttle, RequestLog &log, size_t maxDocument);
    ~HttpService();

    static Route route(const std::string &method, const std::string &target);
    static Reply error(int status, const std::string &why);

    // Before an upload's body: the upload, or the answer that refuses it.
    std::optional<Upload> beginUpload(const Request &request, Reply &refusal);
    // The answer once the body has been taken whole.
    Reply finishUpload(Upload &upload);
    // The answer when the body itself was refused part way.
    Reply refusedUpload(Upload &upload);

    // Every other route, once the request body has been read and dropped.
    Reply answer(const Request &request, Route route);
    // A database that could not be reached, or a commit of unknown outcome:
    // 503 with Retry-After, wherever in a request it happened.
    Reply unavailable(const DatabaseError &failure);

private:
    struct Login
    {
        std::optional<int64_t> user;
        int retryAfter = 0;
    };

    Login login(const QueryString &query, const std::string &address);
    Reply loginRefused(int status, const Login &login) const;
    Reply list(const Request &request);
    Reply download(const Request &request);
    Reply remove(const Request &request);
    // GET /health for load balancers: 200 while the database and the data
    // folder answer, 503 otherwise.
    Reply health();
    // What download and delete share: the query checked, the login. The
    // account, or none with refusal set.
    std::optional<int64_t> eventOwner(const Request &request, const QueryString &query,
                                      Reply &refusal);

    EventStore &m_events;
    const FileStore &m_files;
    Authenticator &m_authenticator;
    LoginThrottle &m_throttle;
    RequestLog &m_log;
    size_t m_maxDocument;
};

} // namespace QuorvaneServer
