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

namespace {

// Lines carry text from outside (an object store's error code, a database's
// message): a control character, C1 ones in UTF-8 too, is written as \xNN
// so it can neither drive the terminal that shows the log nor forge a line.
std::string printable(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size()
            && static_cast<unsigned char>(text[i + 1]) >= 0x80
            && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c >= 0x20 && c != 0x7F && !c1) {
            out += char(c);
            continue;
        }
        const auto escape = [&out](unsigned char byte) {
            static const char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        };
        escape(c);
        if (c1)
            escape(static_cast<unsigned char>(text[++i]));
    }
    return out;
}

} // namespace

void RequestLog::write(const std::string &text)
{
    const std::string line = printable(text);
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
