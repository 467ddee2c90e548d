#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace QuorvaneServer {

// Slows password guessing. Failed logins are counted per user name and
// address, and per address across all names; past a threshold within the
// window further attempts are refused before any password is hashed, for an
// interval that doubles with every new strike. Success clears the name's count.
// A record keeps a digest of the name, never the name: it may be any length.
class LoginThrottle
{
public:
    using Clock = std::chrono::steady_clock;

    struct Settings
    {
        size_t perName = 5;
        size_t perAddress = 20;
        std::chrono::milliseconds window = std::chrono::minutes(1);
        std::chrono::milliseconds firstDelay = std::chrono::seconds(2);
        std::chrono::milliseconds longestDelay = std::chrono::minutes(15);
    };

    explicit LoginThrottle(Settings settings);

    // Seconds until name may try again from address (at least 1), or 0 when
    // the attempt may go ahead.
    int refusal(const std::string &name, const std::string &address);
    void failed(const std::string &name, const std::string &address);
    void succeeded(const std::string &name, const std::string &address);

private:
    struct Record
    {
        // Never more than the threshold.
        std::vector<Clock::time_point> failures;
        Clock::time_point blockedUntil;
        unsigned strikes = 0;
        Clock::time_point lastSeen;
    };

    int wait(const Record *record, Clock::time_point now) const;
    void count(Record &record, size_t threshold, Clock::time_point now);
    void prune(Clock::time_point now);
    static std::string nameKey(const std::string &name, const std::string &address);

    Settings m_settings;
    std::mutex m_mutex;
    std::map<std::string, Record> m_names;
    std::map<std::string, Record> m_addresses;
};

} // namespace QuorvaneServer
