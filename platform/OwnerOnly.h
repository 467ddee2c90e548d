#pragma once

#include <QString>

namespace Platform {

// What holds the user's secrets or state is the user's alone whatever the
// umask: a umask of 000 must not leave a folder others can write to, where
// they could swap the settings file, nor a password readable for a moment.
class OwnerOnly
{
public:
    // Makes path and any missing folder above it, each 0700; folders that
    // are there already keep their mode.
    static bool makeFolder(const QString &path);
    // Before a settings file's first value: makes its folder as above and
    // the file empty and 0600 when it is missing, or makes it 0600.
    static void prepareFile(const QString &fileName);
    // Why a folder we keep state in is not ours to trust, naming it and the
    // fix: another user's (root's aside: root can change anything anyway), or
    // one others may write to (its group too, unless the owner is alone in
    // it), where they could swap what we read back. Empty when it is ours
    // alone, or missing (we make it ours).
    static QString foreignFolder(const QString &path);
};

} // namespace Platform
