#include "store/TransferBudget.h"

#include <algorithm>

namespace QuorvaneServer {

namespace {

// How often a waiting transfer asks whether it was cancelled.
constexpr std::chrono::milliseconds CancelPoll(100);

} // namespace

TransferBudget::Share::Share(TransferBudget *budget, size_t bytes)
    : m_budget(budget)
    , m_bytes(bytes)
{
}

TransferBudget::Share::Share(Share &&other) noexcept
    : m_budget(other.m_budget)
    , m_bytes(other.m_bytes)
{
    other.m_budget = nullptr;
}

TransferBudget::Share &TransferBudget::Share::operator=(Share &&other) noexcept
{
    if (this != &other) {
        if (m_budget)
            m_budget->give(m_bytes);
        m_budget = other.m_budget;
        m_bytes = other.m_bytes;
        other.m_budget = nullptr;
    }
    return *this;
}

TransferBudget::Share::~Share()
{
    if (m_budget)
        m_budget->give(m_bytes);
}

TransferBudget::TransferBudget(size_t limit)
    : m_limit(std::max<size_t>(limit, 1))
    , m_largest(m_limit)
{
}

void TransferBudget::pin(size_t pinned)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_largest = std::max<size_t>(m_limit - std::min(pinned, m_limit), 1);
}

TransferBudget::Share TransferBudget::take(size_t bytes, std::chrono::milliseconds patience,
                                           const std::function<bool()> &cancelled, Waiter waiter)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // A share larger than any could ever be would wait for good.
    bytes = std::min(bytes, m_largest);
    const auto fits = [&] { return m_used + bytes <= m_limit; };
    if (m_line.empty() && fits()) {
        m_used += bytes;
        m_highWater = std::max(m_highWater, m_used);
        return Share(this, bytes);
    }
    const bool shared = waiter == Waiter::SharedThread;
    if (shared && m_sharedWaiting >= SharedWaiters)
        return Share();
    m_sharedWaiting += shared ? 1 : 0;
    ++m_waited;
    const uint64_t ticket = m_nextTicket++;
    m_line.push_back(ticket);
    const Clock::time_point since = Clock::now();
    // In order: a large share is not passed over for ever by small ones.
    const auto turn = [&] { return m_line.front() == ticket && fits(); };
    bool given = false;
    for (;;) {
        if (turn()) {
            given = true;
            break;
        }
        const Clock::time_point stalledSince = std::max(since, m_lastGiven);
        if (Clock::now() - stalledSince >= patience)
            break;
        if (cancelled) {
            // Unlocked: the caller's own lock may be taken while it gives back.
            lock.unlock();
            const bool stop = cancelled();
            lock.lock();
            if (stop)
                break;
            if (turn()) {
                given = true;
                break;
            }
        }
        m_changed.wait_until(lock, std::min(stalledSince + patience, Clock::now() + CancelPoll));
    }
    m_line.erase(std::find(m_line.begin(), m_line.end(), ticket));
    m_sharedWaiting -= shared ? 1 : 0;
    if (given) {
        m_used += bytes;
        m_highWater = std::max(m_highWater, m_used);
    }
    // The next in line may fit now, or be first now.
    m_changed.notify_all();
    return given ? Share(this, bytes) : Share();
}

bool TransferBudget::tryTake(size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_line.empty() || m_used + bytes > m_limit)
        return false;
    m_used += bytes;
    m_highWater = std::max(m_highWater, m_used);
    return true;
}

void TransferBudget::give(size_t bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_used -= std::min(bytes, m_used);
        m_lastGiven = Clock::now();
    }
    m_changed.notify_all();
}

size_t TransferBudget::highWater() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_highWater;
}

size_t TransferBudget::held() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_used;
}

void TransferBudget::waitUntilHeld(size_t bytes, std::chrono::milliseconds patience) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, patience, [&] { return m_used <= bytes; });
}

uint64_t TransferBudget::waited() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_waited;
}

} // namespace QuorvaneServer
