#pragma once

#include <QString>

namespace Platform {

// Where the instance registered under a title listens and keeps its lock.
//
// Both live in a folder of the user's own (the runtime folder, or the temp
// folder when the session has none), under a name derived from the title and
// the settings location: the hand-over path travels through the settings, so
// processes with different settings could not hand files over to each other
// anyway, and test runs with private homes stay apart.
class InstanceAddress
{
public:
    explicit InstanceAddress(const QString &title);

    QString directory() const { return m_directory; }
    QString socketPath() const;
    QString lockPath() const;

    // Creates the folder for the user alone when it is missing. False, with a
    // reason, when it cannot be made or belongs to or is open to someone else.
    bool prepare(QString *error) const;

private:
    QString m_directory;
    QString m_name;
};

} // namespace Platform
