#pragma once

#include <QThread>

namespace Quorvane {

// The library's own thread in a host without a Qt application: it owns the
// application object, the interface and everything the interface creates,
// and its event loop drives their timers and network traffic.
class MainThread : public QThread
{
    Q_OBJECT

public:
    // The thread shows under this name in the system's tools (ps, /proc).
    MainThread() { setObjectName(QStringLiteral("MainThread")); }

protected:
    void run() override;
};

} // namespace Quorvane
