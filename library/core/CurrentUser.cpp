#include "CurrentUser.h"

#include <QString>
#include <limits>

namespace Quorvane {

namespace {
QuorvaneUser *g_currentUser = nullptr;
}

QuorvaneUser *currentUser()
{
    return g_currentUser;
}

void setCurrentUser(QuorvaneUser *user)
{
    g_currentUser = user;
}

void reportMessage(const QString &text)
{
    if (g_currentUser)
        g_currentUser->OnMessage(text.toLocal8Bit().constData());
}

void reportProgress(qint64 done, qint64 total)
{
    if (!g_currentUser)
        return;
    // Scale both numbers by one factor so they fit an int and keep their ratio.
    // A negative total means "unknown" and stays as it is.
    const qint64 limit = std::numeric_limits<int>::max();
    const qint64 largest = qMax(done, total);
    if (largest > limit) {
        const qint64 factor = largest / limit + 1;
        done /= factor;
        if (total > 0)
            total /= factor;
    }
    if (total < 0)
        total = -1;
    g_currentUser->OnProgress(int(done), int(total));
}

} // namespace Quorvane
