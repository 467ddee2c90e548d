#include "ApplicationFolder.h"
#include "CommandLine.h"
#include "InstanceClient.h"
#include "InstanceProtocol.h"
#include "InstanceServer.h"
#include "LockRegistry.h"
#include "MyQApplication.h"
#include "ProgramFile.h"

#include <QDeadlineTimer>
#include <QTextStream>
#include <QThread>
#include <cstdio>
#include <memory>

namespace {

enum class Start { HandedOver, Instance, Failed };

// Asks a running instance to show itself, or becomes the instance. The one
// that keeps our lock list may have been started with another environment:
// it is found where it recorded its socket. A start that holds the instance
// lock but is not answering yet is still starting: wait for it, within reason.
Start handOverOrClaim(Platform::InstanceServer *instance)
{
    const QString title = QString::fromLatin1(InstanceProtocol::WindowTitle);
    const Platform::InstanceClient client(title);
    const Platform::WindowMessage show { InstanceProtocol::HandOver, 0,
                                         InstanceProtocol::ShowCommand };
    const QDeadlineTimer deadline(10000);
    do {
        if (client.post(show) == Platform::InstanceClient::Outcome::Delivered)
            return Start::HandedOver;
        switch (instance->claim()) {
        case Platform::InstanceServer::Claim::Claimed:
            return Start::Instance;
        case Platform::InstanceServer::Claim::Failed:
            std::fprintf(stderr, "keycrate: %s\n", qPrintable(instance->errorString()));
            return Start::Failed;
        case Platform::InstanceServer::Claim::HeldElsewhere:
            if (Platform::InstanceClient::atSocket(
                    Platform::InstanceServer::ownerSocket(LockListOwnerPath()))
                    .post(show)
                == Platform::InstanceClient::Outcome::Delivered)
                return Start::HandedOver;
            QThread::msleep(50);
            break;
        }
    } while (!deadline.hasExpired());
    std::fprintf(stderr, "keycrate: another start holds the instance but does not answer\n");
    return Start::Failed;
}

// Help, version and a wrong option end here, before any instance is touched.
int handleCommandLine(int argc, char **argv)
{
    CommandLine commandLine(
        QStringLiteral("keycrate"),
        QStringLiteral("Usage: keycrate [-s]\n"
                       "Locks files by holding them open, remembers the locks across restarts\n"
                       "and backs chosen files up online. One keycrate runs per user: a second\n"
                       "start brings the running one's window up.\n"
                       "\n"
                       "  -s             start hidden: only the tray icon shows, where there is\n"
                       "                 a tray (\"-s\" must be the only argument)\n"
                       "  -h, --help     print this help\n"
                       "  -v, --version  print the version\n"));
    commandLine.addOption(QCommandLineOption(QStringLiteral("s")));
    commandLine.acceptGuiOptions();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return commandLine.parse(arguments, out, err);
}

} // namespace

int main(int argc, char **argv)
{
    // Recorded in the instance lock, so that a lock left behind is recognised.
    QCoreApplication::setApplicationName(QStringLiteral("keycrate"));
    const int done = handleCommandLine(argc, argv);
    if (done != CommandLine::Proceed)
        return done;
    // The lock list decides who is the instance, so its place is known first.
    setApplicationFolder(Platform::ProgramFile::folder());
    auto instance = std::make_unique<Platform::InstanceServer>(
        QString::fromLatin1(InstanceProtocol::WindowTitle), LockListOwnerPath());
    switch (handOverOrClaim(instance.get())) {
    case Start::HandedOver:
        return 0;
    case Start::Failed:
        return 1;
    case Start::Instance:
        break;
    }
    MyQApplication application(argc, argv, std::move(instance));
    return application.exec();
}
