#include "http/RequestLog.h"

#include <ctime>

namespace QuorvaneServer {

RequestLog::RequestLog(FILE *stream)
    : m_stream(stream)
{
}

void RequestLog::message(const std::string &text)
{
    write(text);
}

void RequestLog::request(const std::string &method, const std::string &loggableTarget, int status,
                         uint64_t bytesIn, uint64_t bytesOut, int64_t milliseconds)
{
    write((method.empty() ? std::string("-") : method) + ' '
          + (loggableTarget.empty() ? std::string("-") : loggableTarget) + ' '
          + std::to_string(status) + " in=" + std::to_string(bytesIn)
          + " out=" + std::to_string(bytesOut) + ' ' + std::to_string(milliseconds) + "ms");
}

void RequestLog::write(const std::string &line)
{
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc;
    gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::lock_guard<std::mutex> lock(m_mutex);
    std::fprintf(m_stream, "%s %s\n", stamp, line.c_str());
    std::fflush(m_stream);
}

} // namespace QuorvaneServer
