// A host without Qt: it loads libQuorvane.so with dlopen and asks for the
// interface from several threads at the same moment. They must all get one
// object, and the library must have started exactly one worker thread.
#include "IQuorvane.h"
#include "WorkerThreads.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "FAIL: %s (threads: %s)\n", what, threadNames().c_str());
        ++failures;
    }
}

} // namespace

int main()
{
    const char *binDir = std::getenv("KEYCRATE_BIN_DIR");
    if (!binDir) {
        std::fprintf(stderr, "KEYCRATE_BIN_DIR is not set\n");
        return 2;
    }
    // Without a pipe pool (the pool's seam), event operations answer 33.
    setenv("KEYCRATE_TEST_PIPE_POOL_FAILURE", "all", 1);
    const std::string path = std::string(binDir) + "/libQuorvane.so";
    void *library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), dlerror());
        return 2;
    }
    auto get = reinterpret_cast<Quorvane::GetQuorvanePointerFunction>(
        dlsym(library, "GetQuorvanePointer"));
    if (!get) {
        std::fprintf(stderr, "GetQuorvanePointer not found\n");
        return 2;
    }
    check(workerThreads() == 0, "no worker thread before the first call");

    // Hold every thread at a gate, then let them call at once.
    const int hostThreads = 8;
    std::vector<Quorvane::IQuorvane *> got(hostThreads, nullptr);
    std::mutex mutex;
    std::condition_variable gate;
    int waiting = 0;
    bool open = false;
    std::vector<std::thread> threads;
    for (int i = 0; i < hostThreads; ++i) {
        threads.emplace_back([&, i] {
            {
                std::unique_lock<std::mutex> lock(mutex);
                ++waiting;
                gate.notify_all();
                gate.wait(lock, [&] { return open; });
            }
            got[i] = get();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        gate.wait(lock, [&] { return waiting == hostThreads; });
        open = true;
    }
    gate.notify_all();
    for (std::thread &thread : threads)
        thread.join();

    check(got[0] != nullptr, "an interface");
    for (int i = 1; i < hostThreads; ++i)
        check(got[i] == got[0], "one interface for every thread");
    check(workerThreads() == 1, "exactly one worker thread");

    // Later calls, from the main thread too, change nothing.
    Quorvane::IQuorvane *q = get();
    check(q == got[0], "the same interface later");
    check(workerThreads() == 1, "still one worker thread");
    if (!q)
        return 1;

    check(std::strcmp(q->getVersion(), "Version: 1.14") == 0, "getVersion");
    check(q->setRefreshDays(4) == 0 && q->getRefreshDays() == 4, "settings from a host thread");
    Quorvane::IdList ids = Quorvane::IdList::withCapacity();
    ids.append("0123456789abcdef0123456789abcdef0123");
    check(q->uploadEvents(ids, nullptr) == 33, "no pipe pool: 33");

    if (failures)
        return 1;
    std::printf("one interface, one worker thread, %d host threads\n", hostThreads);
    return 0;
}
