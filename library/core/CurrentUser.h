#pragma once

#include "QuorvaneUser.h"

#include <QByteArray>

namespace Quorvane {

// The user attached last; it hears the status texts and progress of every pipe
// and connection. Touched only by the thread that owns the pipes.
QuorvaneUser *currentUser();
void setCurrentUser(QuorvaneUser *user);

// Status texts travel to the host in the local 8-bit encoding.
void reportMessage(const QString &text);
void reportProgress(qint64 done, qint64 total);

} // namespace Quorvane
