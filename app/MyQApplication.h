#pragma once

#include "WindowMessage.h"

#include <QApplication>
#include <memory>

class QLibrary;
class TheManager;

namespace Platform {
class InstanceServer;
class TerminationSignals;
} // namespace Platform

namespace Quorvane {
class IQuorvane;
}

// keycrate's application: binds the Quorvane library from the program's
// folder, restores the locks, owns the main window and takes the messages
// other processes send to the running instance.
class MyQApplication : public QApplication
{
    Q_OBJECT

public:
    // The instance channel, when given, is claimed already; messages are taken
    // from it once the window exists.
    MyQApplication(int &argc, char **argv,
                   std::unique_ptr<Platform::InstanceServer> instance = nullptr);
    ~MyQApplication() override;

    // Every message of the instance channel, and the main window's close
    // request, pass here on the GUI thread. True when consumed; result is
    // what a sender waits for.
    bool messageFilter(const Platform::WindowMessage &message, qint64 *result);

    TheManager *mainWindow() const { return m_mainWindow; }
    Quorvane::IQuorvane *quorvane() const { return m_interface; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void bindLibrary();
    [[noreturn]] void stopAfterBindingError(const char *text, const QString &detail);
    // The commands of message 1046; false for a command not handled.
    bool handOver(qint64 command, qint64 *result);
    void showMainWindow();
    [[noreturn]] void endAtOnce();

    TheManager *m_mainWindow = nullptr;
    QLibrary *m_library = nullptr;
    Quorvane::IQuorvane *m_interface = nullptr;
    std::unique_ptr<Platform::InstanceServer> m_instance;
    std::unique_ptr<Platform::TerminationSignals> m_termination;
};
