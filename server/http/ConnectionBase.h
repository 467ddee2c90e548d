#pragma once

namespace QuorvaneServer {

// What the server can ask of any connection, whatever its stream.
class ConnectionBase
{
public:
    virtual ~ConnectionBase() = default;
    // Ends the connection after the request in progress; any thread.
    virtual void stop() = 0;
};

} // namespace QuorvaneServer
