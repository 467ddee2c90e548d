#pragma once

#include "WindowMessage.h"

#include <QString>
#include <functional>

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
        Busy, // the instance refused it: too many requests wait for answers
    };

    explicit InstanceClient(const QString &title);
    // The instance listening at a known socket, such as the one a running
    // instance records beside its lock list.
    static InstanceClient atSocket(const QString &socketPath);

    bool exists() const;
    // Delivers the message and returns without waiting for it to be handled.
    Outcome post(const WindowMessage &message) const;
    // Delivers the message and waits for its result: up to timeoutMs, or with
    // a negative timeout as long as the instance keeps the connection open.
    // delivered, when given, runs once the message has left, before the wait.
    Outcome send(const WindowMessage &message, qint64 *result, bool *handled, int timeoutMs = -1,
                 const std::function<void()> &delivered = {}) const;

    static constexpr int ConnectTimeoutMs = 2000;

private:
    InstanceClient() = default;

    // Only reached in a folder of the user's own: anyone else's socket there
    // would learn the files handed over and could answer for keycrate.
    QString m_socketPath;
};

} // namespace Platform
