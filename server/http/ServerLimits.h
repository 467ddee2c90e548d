#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

namespace QuorvaneServer {

// What one client may cost the server. Every value is a command-line option.
struct ServerLimits
{
    using Duration = std::chrono::milliseconds;

    uint64_t maxBody = uint64_t(16) << 30;
    size_t maxDocument = 1024 * 1024;
    // Request line and headers together.
    size_t maxHead = 16 * 1024;
    // From the first byte of a request (or from the connection, for the TLS
    // handshake) until its head is complete.
    Duration headTimeout = std::chrono::seconds(10);
    // A kept-alive connection may wait this long for its next request.
    Duration idleTimeout = std::chrono::seconds(15);
    // Bodies in both directions move at least minRate bytes a second, measured
    // over each rateWindow; a client that stalls longer is dropped.
    uint64_t minRate = 1024;
    Duration rateWindow = std::chrono::seconds(30);
    size_t maxConnections = 1024;
    size_t maxPerAddress = 64;
    // How long a refused request's unread body is drained before closing,
    // so the client reads the answer instead of a reset.
    Duration lingerTimeout = std::chrono::seconds(5);
    // Load balancers in front: their connections count for no one address,
    // and the client's address comes from their X-Real-IP.
    std::set<std::string> trustedProxies;
    unsigned ioThreads = 0; // 0: one per processor, at least two
    unsigned workThreads = 16;
    // A statement (or connecting) on PostgreSQL that takes longer counts as a
    // lost connection: the request answers 503 instead of holding a thread.
    Duration databaseTimeout = std::chrono::seconds(30);
};

} // namespace QuorvaneServer
