#include "http/HttpServer.h"

#include "http/Connection.h"
#include "http/RequestLog.h"

#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <openssl/ssl.h>
#include <stdexcept>
#include <thread>
#include <vector>

namespace QuorvaneServer {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

namespace {

unsigned ioThreadCount(unsigned wanted)
{
    if (wanted > 0)
        return wanted;
    const unsigned cores = std::thread::hardware_concurrency();
    return cores < 2 ? 2 : cores;
}

} // namespace

HttpServer::HttpServer(HttpService &service, RequestLog &log, ServerLimits limits)
    : m_limits(limits)
    , m_log(log)
    , m_shared { service, log, m_limits, m_work,
                 [this](ConnectionBase *connection, const std::string &address) {
                     released(connection, address);
                 } } // One thread each: the context never wakes another to run a handler.
    , m_io(1)
    , m_work(m_limits.workThreads > 0 ? m_limits.workThreads : 1)
    // The acceptor and its pause run on one strand, as does stop(): closing
    // it never races a handler that arms it again.
    , m_acceptor(asio::make_strand(m_io))
    , m_acceptPause(m_acceptor.get_executor())
{
    for (unsigned i = 1; i < ioThreadCount(m_limits.ioThreads); ++i)
        m_others.push_back(std::make_unique<asio::io_context>(1));
    m_idle.push_back(asio::make_work_guard(m_io));
    for (const auto &context : m_others)
        m_idle.push_back(asio::make_work_guard(*context));
}

HttpServer::~HttpServer()
{
    m_work.join();
}

void HttpServer::useTls(const std::string &certificateFile, const std::string &keyFile)
{
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2
                         | asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1
                         | asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    error_code error;
    context->use_certificate_chain_file(certificateFile, error);
    if (error)
        throw std::runtime_error("cannot use the certificate " + certificateFile + ": "
                                 + error.message());
    context->use_private_key_file(keyFile, asio::ssl::context::pem, error);
    if (error)
        throw std::runtime_error("cannot use the key " + keyFile + ": " + error.message());
    if (SSL_CTX_check_private_key(context->native_handle()) != 1)
        throw std::runtime_error("the key " + keyFile + " does not belong to the certificate");
    m_tls = std::move(context);
}

int HttpServer::bind(const std::string &host, int port)
{
    error_code error;
    tcp::resolver resolver(m_io);
    const auto endpoints = resolver.resolve(
        host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, error);
    if (error || endpoints.empty())
        return -1;
    const tcp::endpoint endpoint = *endpoints.begin();
    m_acceptor.open(endpoint.protocol(), error);
    // SO_REUSEADDR for a quick restart; never SO_REUSEPORT, which would let a
    // second server share the port unnoticed.
    if (!error)
        m_acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error)
        m_acceptor.bind(endpoint, error);
    if (!error)
        m_acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
        m_acceptor.close(error);
        return -1;
    }
    return m_acceptor.local_endpoint().port();
}

void HttpServer::run()
{
    accept();
    std::vector<std::thread> threads;
    for (const auto &context : m_others)
        threads.emplace_back([&context] { context->run(); });
    m_io.run();
    for (auto &thread : threads)
        thread.join();
    m_work.join();
}

void HttpServer::stop()
{
    asio::post(m_acceptor.get_executor(), [this] {
        error_code ignored;
        m_acceptor.close(ignored);
        m_acceptPause.cancel();
        std::vector<std::shared_ptr<ConnectionBase>> open;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
            for (const auto &entry : m_connections) {
                if (auto connection = entry.second.lock())
                    open.push_back(std::move(connection));
            }
        }
        for (const auto &connection : open)
            connection->stop();
        // Each context ends once its connections have. Only now: a context let
        // go first could run out of work before a connection's stop reached it,
        // and leave that stop unrun.
        for (WorkGuard &guard : m_idle)
            guard.reset();
    });
}

void HttpServer::accept()
{
    // The new connection's socket belongs to the context dealt to it.
    const auto strand = asio::make_strand(nextContext());
    m_acceptor.async_accept(strand, [this](error_code error, tcp::socket socket) {
        if (!m_acceptor.is_open() || error == asio::error::operation_aborted)
            return;
        if (error) {
            // Out of descriptors: let some connections end before trying again.
            if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space
                || error.value() == ENFILE) {
                m_acceptPause.expires_after(std::chrono::milliseconds(100));
                m_acceptPause.async_wait([this](error_code waited) {
                    if (!waited)
                        accept();
                });
                return;
            }
            return accept();
        }
        onAccept(std::move(socket));
        accept();
    });
}

asio::io_context &HttpServer::nextContext()
{
    // Only the acceptor's strand deals.
    const size_t index = m_next++ % (m_others.size() + 1);
    return index == 0 ? m_io : *m_others[index - 1];
}

void HttpServer::refuse(tcp::socket &socket, const char *why)
{
    // One try without waiting: a full buffer just means a plain close.
    if (!m_tls) {
        const std::string body = std::string("error: ") + why + "\n";
        const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; "
                                   "charset=utf-8\r\nRetry-After: 5\r\nContent-Length: "
            + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
        error_code ignored;
        socket.non_blocking(true, ignored);
        socket.write_some(asio::buffer(answer), ignored);
        socket.shutdown(tcp::socket::shutdown_send, ignored);
    }
    error_code ignored;
    socket.close(ignored);
}

void HttpServer::onAccept(tcp::socket socket)
{
    error_code error;
    const auto remote = socket.remote_endpoint(error);
    if (error)
        return;
    const std::string address = remote.address().to_string();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped)
            return;
        if (m_connections.size() >= m_limits.maxConnections)
            return refuse(socket, "too many connections");
        size_t &fromThere = m_perAddress[address];
        if (fromThere >= m_limits.maxPerAddress && m_limits.trustedProxies.count(address) == 0)
            return refuse(socket, "too many connections from one address");
        ++fromThere;
    }
    socket.set_option(tcp::no_delay(true), error);

    std::shared_ptr<ConnectionBase> connection;
    std::function<void()> start;
    if (m_tls) {
        auto tls = std::make_shared<Connection<TlsStream>>(TlsStream(std::move(socket), *m_tls),
                                                           address, m_shared);
        start = [tls] { tls->start(); };
        connection = tls;
    } else {
        auto plain
            = std::make_shared<Connection<PlainStream>>(std::move(socket), address, m_shared);
        start = [plain] { plain->start(); };
        connection = plain;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connections.emplace(connection.get(), connection);
    }
    start();
}

void HttpServer::released(ConnectionBase *connection, const std::string &address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.erase(connection);
    const auto found = m_perAddress.find(address);
    if (found != m_perAddress.end() && --found->second == 0)
        m_perAddress.erase(found);
}

} // namespace QuorvaneServer
