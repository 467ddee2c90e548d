#include "DesktopOpener.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QProcess>
#include <QUrl>

namespace Platform {

namespace {
DesktopOpener::Handler &handler()
{
    static DesktopOpener::Handler instance;
    return instance;
}
} // namespace

void DesktopOpener::setHandler(Handler replacement)
{
    handler() = std::move(replacement);
}

bool DesktopOpener::openFile(const QString &path)
{
    if (handler())
        return handler()(path);
#ifdef KEYCRATE_TESTING
    const QString command = qEnvironmentVariable("KEYCRATE_OPEN_COMMAND");
    if (!command.isEmpty())
        return QProcess::execute(command, { path }) == 0;
#endif
    // QDesktopServices needs a GUI application; a host without one gets the
    // freedesktop opener directly.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        return QDesktopServices::openUrl(QUrl::fromLocalFile(path));
    return QProcess::startDetached(QStringLiteral("xdg-open"), { path });
}

} // namespace Platform
