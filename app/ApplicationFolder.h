#pragma once

#include <QString>

// The folder of the running program: absolute, forward slashes, no trailing
// slash. The library and the lock list are found in it.
QString applicationFolder();
void setApplicationFolder(const QString &folder);
