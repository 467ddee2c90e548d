#pragma once

#include <QString>

// The folder of the running program: absolute, forward slashes, no trailing
// slash. The library and, where the user may write there, the lock list are
// found in it.
QString applicationFolder();
void setApplicationFolder(const QString &folder);

// Where the library file lives: the program's own folder (a build tree, a
// copy), or its private folder of an installation.
QString libraryFolder();

// The folder of the lock list and what sits beside it: the program's folder
// when it is the user's alone and not an installation, else the
// user's own state folder
// ($XDG_STATE_HOME/keycrate, by default ~/.local/state/keycrate), created on
// demand.
QString lockListFolder();
