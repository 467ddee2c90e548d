#pragma once

#include "InstanceAddress.h"
#include "WindowMessage.h"

namespace Platform {

// The other processes' end of the instance channel: finds the instance
// registered under a title and posts or sends it a message. Blocking, and
// usable before any application object exists.
class InstanceClient
{
public:
    enum class Outcome {
        Delivered,
        NoInstance, // nothing answers under the title
        NoAnswer, // the instance took the connection but gave no valid answer
    };

    explicit InstanceClient(const QString &title);

    bool exists() const;
    // Delivers the message and returns without waiting for it to be handled.
    Outcome post(const WindowMessage &message) const;
    // Delivers the message and waits for its result: up to timeoutMs, or with
    // a negative timeout as long as the instance keeps the connection open.
    Outcome send(const WindowMessage &message, qint64 *result, bool *handled,
                 int timeoutMs = -1) const;

    static constexpr int ConnectTimeoutMs = 2000;

private:
    InstanceAddress m_address;
};

} // namespace Platform
