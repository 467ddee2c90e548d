#pragma once

namespace Quorvane {

class MainThread;
class QuorvaneInterface;

// The process-wide state behind GetQuorvanePointer: the interface singleton
// and, in a host without a Qt application, the library's worker thread.
class InterfaceSingleton
{
public:
    // What GetQuorvanePointer returns: the singleton, created on first use on
    // the thread that is to own it. Safe to call from several host threads at
    // once.
    static QuorvaneInterface *obtain();

    // Creates the singleton on the calling thread unless it exists.
    static QuorvaneInterface *getOrCreate();

    // Called by the interface's destructor, so a later obtain() builds anew.
    static void forget(QuorvaneInterface *interface);

    // The singleton, or null.
    static QuorvaneInterface *current();

    // The worker thread, or null when the host has its own Qt application.
    static MainThread *workerThread();

    InterfaceSingleton() = delete;
};

} // namespace Quorvane
