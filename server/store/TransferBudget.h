#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace QuorvaneServer {

// The bytes of buffers that all transfers to and from an object store may
// hold at once. A transfer waits in line until its share fits, so the memory
// stays the same however many clients upload and download together; while it
// waits its client is simply not read from. A line that stops moving for the
// patience given ends the wait, so no request hangs on it.
class TransferBudget
{
public:
    using Clock = std::chrono::steady_clock;

    // What one take() holds, given back when it goes.
    class Share
    {
    public:
        Share() = default;
        Share(Share &&other) noexcept;
        Share &operator=(Share &&other) noexcept;
        ~Share();
        explicit operator bool() const { return m_budget != nullptr; }

    private:
        friend class TransferBudget;
        Share(TransferBudget *budget, size_t bytes);
        TransferBudget *m_budget = nullptr;
        size_t m_bytes = 0;
    };

    explicit TransferBudget(size_t limit);
    TransferBudget(const TransferBudget &) = delete;
    TransferBudget &operator=(const TransferBudget &) = delete;

    // Up to pinned bytes may be held for good (kept buffers): a single take
    // asks at most for what they leave.
    void pin(size_t pinned);

    // Who waits: a thread of the transfer's own, or one of the threads that
    // all requests share. Only SharedWaiters of the latter wait at once; more
    // are refused at once, so a line that does not move (slow readers holding
    // the budget) never takes the threads that logins, lists and commits need.
    enum class Waiter { OwnThread, SharedThread };
    static constexpr size_t SharedWaiters = 4;

    // Waits in line until bytes fit; an empty share when nothing was given
    // back for patience, or once cancelled() says so.
    Share take(size_t bytes, std::chrono::milliseconds patience,
               const std::function<bool()> &cancelled = {}, Waiter waiter = Waiter::OwnThread);
    // Without waiting, and only when nobody waits; for bytes kept for good.
    bool tryTake(size_t bytes);
    void give(size_t bytes);

    size_t limit() const { return m_limit; }
    // The most that was held at once, and how many takes had to wait.
    size_t highWater() const;
    uint64_t waited() const;
    // What is held now, kept bytes included.
    size_t held() const;
    // Waits, at most for patience, until no more than bytes are held.
    void waitUntilHeld(size_t bytes, std::chrono::milliseconds patience) const;

private:
    const size_t m_limit;
    size_t m_largest;
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    size_t m_used = 0;
    size_t m_highWater = 0;
    uint64_t m_waited = 0;
    size_t m_sharedWaiting = 0;
    uint64_t m_nextTicket = 0;
    std::deque<uint64_t> m_line;
    Clock::time_point m_lastGiven = Clock::now();
};

} // namespace QuorvaneServer
