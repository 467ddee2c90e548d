#include "MainThread.h"

#include "InterfaceSingleton.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace Quorvane {

void MainThread::run()
{
    int argc = 0;
    // Qt takes the host thread that first touched it for the process's main
    // thread and warns that the application is made elsewhere. Here that is
    // the point: the host runs no Qt, this thread does.
    QLoggingCategory *log = QLoggingCategory::defaultCategory();
    const bool warnings = log->isWarningEnabled();
    log->setEnabled(QtWarningMsg, false);
    QCoreApplication application(argc, nullptr);
    log->setEnabled(QtWarningMsg, warnings);

    // Qt 6 reads byte strings as UTF-8 already; there is no codec to install.
    InterfaceSingleton::getOrCreate();
    application.exec();
}

} // namespace Quorvane
