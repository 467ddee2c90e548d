#pragma once

#include <atomic>
#include <cstdint>
#include <httplib.h>
#include <optional>
#include <string>

namespace QuorvaneServer {

class Authenticator;
class EventStore;
class FileStore;
class QueryString;
class RequestLog;

// The backup protocol over HTTP: POST "/action/file/" followed by "quorvget",
// "quorvupload", "quorvdownload" or "quorvdelete", with the account in the
// query. Request bodies are read as streams and never held whole.
class HttpService
{
public:
    struct Limits
    {
        uint64_t maxBody = 0;
        size_t maxDocument = 1024 * 1024;
    };

    HttpService(EventStore &events, const FileStore &files, Authenticator &authenticator,
                RequestLog &log, Limits limits);

    // Binds host:port (port 0 picks a free one); the bound port, or -1.
    int bind(const std::string &host, int port);
    // Serves until stop().
    void run();
    // May be called from any thread, also before run() has started.
    void stop();

private:
    using Reader = httplib::ContentReader;

    void list(const httplib::Request &request, httplib::Response &response, const Reader &reader);
    void upload(const httplib::Request &request, httplib::Response &response, const Reader &reader);
    void download(const httplib::Request &request, httplib::Response &response,
                  const Reader &reader);
    void remove(const httplib::Request &request, httplib::Response &response, const Reader &reader);

    // Reads and drops the body, so that the answer reaches the client; 0, or
    // the status to answer when the body could not be read.
    int dropBody(const httplib::Response &response, const Reader &reader) const;
    int bodyFailureStatus(const httplib::Response &response, bool overLimit) const;
    std::optional<int64_t> login(const QueryString &query);
    // What download and delete share: the body dropped, the query checked, the
    // login. The account, or none when the refusal has been answered already.
    std::optional<int64_t> eventOwner(const QueryString &query, httplib::Response &response,
                                      const Reader &reader);

    EventStore &m_events;
    const FileStore &m_files;
    Authenticator &m_authenticator;
    RequestLog &m_log;
    Limits m_limits;
    httplib::Server m_server;
    std::atomic<bool> m_finished { false };
};

} // namespace QuorvaneServer
