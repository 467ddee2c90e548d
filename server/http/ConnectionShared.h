#pragma once

#include "http/ConnectionBase.h"

#include <boost/asio/thread_pool.hpp>
#include <functional>
#include <string>

namespace QuorvaneServer {

class HttpService;
class RequestLog;
struct ServerLimits;

// What every connection of one server shares.
struct ConnectionShared
{
    HttpService &service;
    RequestLog &log;
    const ServerLimits &limits;
    boost::asio::thread_pool &work;
    // Called from the destructor of a connection.
    std::function<void(ConnectionBase *, const std::string &address)> released;
};

} // namespace QuorvaneServer
