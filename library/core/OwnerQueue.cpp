#include "OwnerQueue.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <sys/eventfd.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace Quorvane {

namespace {

// Tells the waiting caller that its work is over, whether it ran or was
// dropped with the queue: the last copy of the work takes it along.
struct Completion
{
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

struct Signaller
{
    std::shared_ptr<Completion> completion;
    ~Signaller()
    {
        std::lock_guard<std::mutex> lock(completion->mutex);
        completion->finished = true;
        completion->done.notify_all();
    }
};

} // namespace

OwnerQueue::OwnerQueue()
    : m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_wakeFd < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    m_wakeNotifier = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
    connect(m_wakeNotifier, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        while (::read(m_wakeFd, &count, sizeof count) < 0 && errno == EINTR) { }
        runQueued();
    });
}

OwnerQueue::~OwnerQueue()
{
    delete m_wakeNotifier;
    ::close(m_wakeFd);
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_work);
    }
}

void OwnerQueue::post(std::function<void()> work)
{
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_work.push_back(std::move(work));
        wake = !m_wakePending;
        m_wakePending = true;
    }
    if (wake) {
        const std::uint64_t one = 1;
        while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) { }
    }
}

void OwnerQueue::runAndWait(std::function<void()> work)
{
    auto completion = std::make_shared<Completion>();
    auto signaller = std::make_shared<Signaller>();
    signaller->completion = completion;
    post([work = std::move(work), signaller]() mutable { work(); });
    signaller.reset();
    std::unique_lock<std::mutex> lock(completion->mutex);
    completion->done.wait(lock, [&] { return completion->finished; });
}

void OwnerQueue::runQueued()
{
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_work.empty()) {
                m_wakePending = false;
                return;
            }
            work = std::move(m_work.front());
            m_work.pop_front();
        }
        work();
    }
}

} // namespace Quorvane
