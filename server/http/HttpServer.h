#pragma once

#include "http/ConnectionShared.h"
#include "http/ServerLimits.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace QuorvaneServer {

class HttpService;
class RequestLog;

// Accepts connections on one address, over plain HTTP or over TLS, and keeps
// their number within the limits. Each network thread runs a context of its
// own and new connections are dealt to them in turn: a connection's handlers
// then run on the thread that polled its socket, where threads sharing one
// context handed every completion over to another, two context switches each.
class HttpServer
{
public:
    HttpServer(HttpService &service, RequestLog &log, ServerLimits limits);
    ~HttpServer();

    // Serves HTTPS with this certificate chain and key (PEM); throws when
    // either cannot be used.
    void useTls(const std::string &certificateFile, const std::string &keyFile);
    bool tls() const { return static_cast<bool>(m_tls); }

    // Binds host:port (port 0 picks a free one); the bound port, or -1.
    int bind(const std::string &host, int port);
    // Serves until stop(), then lets the requests in progress finish.
    void run();
    // May be called from any thread, also before run() has started.
    void stop();

private:
    void accept();
    void onAccept(boost::asio::ip::tcp::socket socket);
    void refuse(boost::asio::ip::tcp::socket &socket, const char *why);
    void released(ConnectionBase *connection, const std::string &address);
    // The context of the next connection.
    boost::asio::io_context &nextContext();

    using WorkGuard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

    ServerLimits m_limits;
    RequestLog &m_log;
    // Before the contexts, so that they outlast them: a handler a context never
    // ran holds a connection, whose end reaches back to these. The work pool
    // is only named here, and used once it is built.
    ConnectionShared m_shared;
    std::mutex m_mutex;
    bool m_stopped = false;
    std::unordered_map<ConnectionBase *, std::weak_ptr<ConnectionBase>> m_connections;
    std::map<std::string, size_t> m_perAddress;
    // The acceptor's, run by the first network thread; the other threads'
    // follow in m_others.
    boost::asio::io_context m_io;
    std::vector<std::unique_ptr<boost::asio::io_context>> m_others;
    // Keeps each context running while it has no connection, until stop().
    std::vector<WorkGuard> m_idle;
    size_t m_next = 0;
    boost::asio::thread_pool m_work;
    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_acceptPause;
    std::unique_ptr<boost::asio::ssl::context> m_tls;
};

} // namespace QuorvaneServer
