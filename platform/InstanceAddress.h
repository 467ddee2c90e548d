#pragma once

#include <QString>

namespace Platform {

// Where the instance registered under a title listens and keeps its lock.
//
// Both live in a folder of the user's own (in the runtime folder, or in /tmp
// when the session has none or its path is too long for a socket), under a
// name derived from the title and the settings location: the hand-over path
// also travels through the settings, so test runs with private homes stay
// apart. The socket's path always fits a Unix socket address.
class InstanceAddress
{
public:
    explicit InstanceAddress(const QString &title);

    QString directory() const { return m_directory; }
    QString socketPath() const;
    QString lockPath() const;
    // Senders of a hand-over hold this lock (flock, exclusive) while they
    // write the shared setting and deliver their message; one for the user.
    QString handOverLockPath() const;

    // Creates the folder for the user alone when it is missing. False, with a
    // reason, when it cannot be made or belongs to or is open to someone else.
    bool prepare(QString *error) const;
    // Once this instance is gone from it: the shared folder in /tmp goes when
    // nothing is left in it, as no session clears it for us.
    void tidy() const;

    // True when the folder exists, is no link, belongs to this user and is
    // closed to everybody else.
    static bool isPrivateFolder(const QString &folder, QString *error = nullptr);

    // The longest socket path the platform takes (without its final zero).
    static constexpr int MaxSocketPath = 107;

private:
    QString m_directory;
    QString m_name;
};

} // namespace Platform
