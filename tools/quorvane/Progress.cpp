#include "Progress.h"

#include "Terminal.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

Progress::Progress(bool enabled)
    : m_enabled(enabled)
{
}

Progress::~Progress()
{
    clear();
}

void Progress::setOverall(std::int64_t doneBefore, std::int64_t current, std::int64_t total)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_overallTotal == 0)
        m_started = std::chrono::steady_clock::now();
    m_overallBefore = doneBefore;
    m_overallCurrent = current;
    m_overallTotal = total;
    m_largestTotal = 0;
    m_lastDone = -1;
}

void Progress::status(const std::string &text)
{
    if (!m_enabled)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_status = m_prefix.empty() ? text : m_prefix + " " + text;
    m_largestTotal = 0;
    drawLocked(m_status);
}

void Progress::setPrefix(const std::string &prefix)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_prefix = prefix;
}

void Progress::transfer(std::int64_t done, std::int64_t total)
{
    if (!m_enabled || done < 0)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = std::chrono::steady_clock::now();
    // A request's short answer reports after its large body: the bar stays
    // with the body.
    if (total > 0 && total < m_largestTotal)
        return;
    m_largestTotal = std::max(m_largestTotal, total);
    const bool overall = m_overallTotal > 0;
    if (!overall && (m_lastDone < 0 || done < m_lastDone))
        m_started = now;
    m_lastDone = done;
    // Redrawing more often than this only costs the terminal.
    if (m_shown && done < total && now - m_lastDrawn < std::chrono::milliseconds(100))
        return;
    m_lastDrawn = now;

    const std::int64_t current = total > 0 ? std::min(done, total) : done;
    std::int64_t shownDone = current;
    std::int64_t shownTotal = total;
    if (overall) {
        shownDone = m_overallBefore + (total > 0 ? current * m_overallCurrent / total : 0);
        shownTotal = m_overallTotal;
    }
    const double elapsed = std::chrono::duration<double>(now - m_started).count();
    const double rate = elapsed > 0.2 ? double(shownDone) / elapsed : 0.0;
    const int percent = shownTotal > 0 ? int(shownDone * 100 / shownTotal) : 0;

    const int barWidth = 20;
    const int filled = shownTotal > 0 ? int(shownDone * barWidth / shownTotal) : 0;
    std::string line = "[";
    for (int i = 0; i < barWidth; ++i)
        line += i < filled ? '#' : '.';
    char numbers[160];
    if (shownTotal > 0)
        std::snprintf(numbers, sizeof numbers, "] %3d%% %s of %s", percent,
                      bytes(shownDone).c_str(), bytes(shownTotal).c_str());
    else
        std::snprintf(numbers, sizeof numbers, "] %s", bytes(shownDone).c_str());
    line += numbers;
    if (rate > 0) {
        line += "  " + bytes(std::int64_t(rate)) + "/s";
        if (shownTotal > shownDone)
            line += "  " + duration(double(shownTotal - shownDone) / rate) + " left";
    }
    if (!m_status.empty())
        line += "  " + m_status;
    drawLocked(line);
}

void Progress::clear()
{
    if (!m_enabled)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_shown) {
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        m_shown = false;
    }
}

void Progress::drawLocked(const std::string &line)
{
    std::string shown = line;
    const int width = Terminal::width(STDERR_FILENO);
    if (width > 1 && int(shown.size()) > width - 1) {
        shown.resize(std::size_t(width - 1));
        // Never leave half a UTF-8 character at the cut.
        while (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0xC0) == 0x80)
            shown.pop_back();
        if (!shown.empty() && (static_cast<unsigned char>(shown.back()) & 0x80))
            shown.pop_back();
    }
    std::fprintf(stderr, "\r\033[K%s", shown.c_str());
    std::fflush(stderr);
    m_shown = true;
}

std::string Progress::bytes(std::int64_t count)
{
    static const char *units[] = { "B", "KiB", "MiB", "GiB", "TiB" };
    double value = double(count);
    int unit = 0;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(count));
    else
        std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string Progress::duration(double seconds)
{
    long long total = seconds < 0 ? 0 : static_cast<long long>(seconds + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}
