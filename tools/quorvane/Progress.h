#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

// The one status line on stderr while stderr is a terminal: the library's
// status texts and, for transfers, a bar with bytes, rate and time left.
// Silent when disabled. Callbacks arrive on the library's thread.
class Progress
{
public:
    explicit Progress(bool enabled);
    ~Progress();

    bool enabled() const { return m_enabled; }
    // A transfer of several files: bytes of the earlier files, of the one
    // now sent, and of all.
    void setOverall(std::int64_t doneBefore, std::int64_t current, std::int64_t total);
    void status(const std::string &text);
    // Shown before every status, such as "3/50" during a backup.
    void setPrefix(const std::string &prefix);
    void transfer(std::int64_t done, std::int64_t total);
    // Erases the line, before anything else goes to stderr.
    void clear();

    // "12.3 MiB", "512 B".
    static std::string bytes(std::int64_t count);
    // "1:05", "1:02:03".
    static std::string duration(double seconds);

private:
    void drawLocked(const std::string &line);

    const bool m_enabled;
    std::mutex m_mutex;
    std::string m_status;
    std::string m_prefix;
    std::int64_t m_overallBefore = 0;
    std::int64_t m_overallTotal = 0;
    std::int64_t m_overallCurrent = 0;
    std::int64_t m_largestTotal = 0;
    std::int64_t m_lastDone = -1;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_lastDrawn;
    bool m_shown = false;
};
