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
};

} // namespace Platform
