#pragma once

#include "QuorvaneUser.h"
#include "WindowMessage.h"

#include <QApplication>
#include <QStringList>
#include <memory>

class QLibrary;
class TheManager;
class TrayIcon;

namespace Platform {
class InstanceServer;
class TerminationSignals;
} // namespace Platform

namespace Quorvane {
class IQuorvane;
struct EventNative;
} // namespace Quorvane

// keycrate's application: binds the Quorvane library from the program's
// folder, restores the locks, owns the main window and takes the messages
// other processes send to the running instance. It hands the window's uploads
// to the library and hears the library's reports about them.
class MyQApplication : public QApplication, public Quorvane::QuorvaneUser
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
    // Null when the desktop has no tray.
    TrayIcon *trayIcon() const { return m_tray.get(); }
    Quorvane::IQuorvane *quorvane() const { return m_interface; }

    // Hands one file to the library: request.path (UTF-8) and request.kind
    // are read. Nothing is sent while the account is still the default one.
    void SubmitUpload(const Quorvane::EventNative &request);

    // The library's reports, on the GUI thread.
    void OnFinished(int code, int count) override;
    void OnMessage(const char *text) override;
    void OnProgress(int done, int total) override;

public slots:
    // Submits path, the next file of the window's upload run.
    void HandleUINextUploadItem(QString path);
    // What the tray's menu asks for.
    void lockChosenFile(const QString &path);
    void uploadFile(const QString &path);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void bindLibrary();
    // The tray icon and its menu, where the desktop has a tray.
    void setUpTray();
    // Gives the library a data folder when none is set.
    void provideDataFolder();
    [[noreturn]] void stopAfterBindingError(const char *text, const QString &detail);
    // The commands of message 1046; false for a command not handled. A path
    // the sender carried with the message names the file, else the setting.
    bool handOver(const Platform::WindowMessage &message, qint64 *result);
    void uploadHandedOverFile(const QByteArray &localPath);
    void showMainWindow(bool restoreMinimized = true);
    // Shows the window with its settings and locked files read anew.
    void showRefreshed();
    // The box for a run that ended with 99 or 100; shown once the library's
    // report has returned, so no dialog loop runs inside the library.
    void showUploadFailure(int code);
    // Notes in the journal which event holds file; count is the length of
    // the library's list.
    void noteUpload(const QString &file, int count);
    [[noreturn]] void endAtOnce();

    TheManager *m_mainWindow = nullptr;
    QLibrary *m_library = nullptr;
    Quorvane::IQuorvane *m_interface = nullptr;
    std::unique_ptr<Platform::InstanceServer> m_instance;
    std::unique_ptr<Platform::TerminationSignals> m_termination;
    std::unique_ptr<TrayIcon> m_tray;
    int m_trayChecks = 0;
    // The files of the transfers in flight, oldest first, for the journal.
    QStringList m_journalPending;
};
