#pragma once

namespace Quorvane {

// The host's callback object. The library never destroys it.
//
// With a Qt host the callbacks arrive on the thread that created the library's
// interface (the GUI thread). In a host without a Qt application they arrive on
// the library's own worker thread, whichever thread made the call: guard what
// they share with the host's threads.
class QuorvaneUser
{
public:
    virtual void OnFinished(int code, int count) = 0;
    virtual void OnMessage(const char *text) = 0;
    virtual void OnProgress(int done, int total) = 0;
    virtual ~QuorvaneUser() = default;
};

} // namespace Quorvane
