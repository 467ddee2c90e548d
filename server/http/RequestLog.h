#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace QuorvaneServer {

// Time-stamped lines on a stream, one whole line at a time from any thread.
// Request lines carry no password and no user name: see QueryString::forLog.
class RequestLog
{
public:
    explicit RequestLog(FILE *stream);

    void message(const std::string &text);
    void request(const std::string &method, const std::string &loggableTarget, int status,
                 uint64_t bytesIn, uint64_t bytesOut, int64_t milliseconds);

private:
    void write(const std::string &line);

    FILE *m_stream;
    std::mutex m_mutex;
};

} // namespace QuorvaneServer
