#include "InterfaceSingleton.h"

#include "MainThread.h"
#include "QuorvaneInterface.h"

#include <QCoreApplication>
#include <atomic>
#include <condition_variable>
#include <mutex>

namespace Quorvane {

namespace {

// Creation is serialised by one mutex; host threads that find the worker
// still building the interface wait for it on the condition.
std::mutex g_mutex;
std::condition_variable g_built;
std::atomic<QuorvaneInterface *> g_interface { nullptr };
MainThread *g_worker = nullptr;
bool g_building = false;

// Runs with g_mutex held, on the thread that is to own the interface.
QuorvaneInterface *createLocked()
{
    if (QuorvaneInterface *existing = g_interface.load())
        return existing;
    auto *created = new QuorvaneInterface;
    g_interface.store(created, std::memory_order_release);
    // The pipe pool is built here, on the same thread, right after the
    // interface: until it exists every event operation answers NoPipePool.
    created->buildPipePool();
    return created;
}

} // namespace

// Who owns the library's objects: with a Qt application in the host, the
// thread that first asks (keycrate's GUI thread), on the host's event loop.
// Without one, the worker thread: its event loop is the only one in the
// process, and the pipes' timers and network objects only run in a thread
// whose loop is running. So the worker builds the interface itself and the
// host's threads wait for it here; the interface, and everything it creates,
// then belongs to the worker.
QuorvaneInterface *InterfaceSingleton::obtain()
{
    if (QuorvaneInterface *existing = g_interface.load(std::memory_order_acquire))
        return existing;

    std::unique_lock<std::mutex> lock(g_mutex);
    if (QuorvaneInterface *existing = g_interface.load())
        return existing;

    if (!g_worker) {
        if (QCoreApplication::instance())
            return createLocked();
        g_worker = new MainThread;
        g_building = true;
        g_worker->start(QThread::TimeCriticalPriority);
        if (!g_worker->isRunning()) {
            g_building = false;
            delete g_worker;
            g_worker = nullptr;
            return nullptr;
        }
    } else if (!g_building) {
        // The host deleted the interface: the new one is built where the old
        // one lived.
        if (QThread::currentThread() == g_worker)
            return createLocked();
        g_building = true;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] { getOrCreate(); }, Qt::QueuedConnection);
    }
    g_built.wait(lock, [] { return !g_building; });
    return g_interface.load();
}

QuorvaneInterface *InterfaceSingleton::getOrCreate()
{
    QuorvaneInterface *result = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        try {
            result = createLocked();
        } catch (...) {
            // The waiting host gets no interface and says so.
        }
        g_building = false;
    }
    g_built.notify_all();
    return result;
}

void InterfaceSingleton::forget(QuorvaneInterface *interface)
{
    g_interface.compare_exchange_strong(interface, nullptr);
}

QuorvaneInterface *InterfaceSingleton::current()
{
    return g_interface.load(std::memory_order_acquire);
}

MainThread *InterfaceSingleton::workerThread()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_worker;
}

} // namespace Quorvane
