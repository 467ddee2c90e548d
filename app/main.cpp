#include "InstanceClient.h"
#include "InstanceProtocol.h"
#include "InstanceServer.h"
#include "MyQApplication.h"

#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>
#include <memory>

namespace {

enum class Start { HandedOver, Instance, Failed };

// Asks a running instance to show itself, or becomes the instance. A start
// that holds the instance lock but is not answering yet is still starting:
// wait for it, within reason.
Start handOverOrClaim(Platform::InstanceServer *instance)
{
    const QString title = QString::fromLatin1(InstanceProtocol::WindowTitle);
    const Platform::InstanceClient client(title);
    const Platform::WindowMessage show { InstanceProtocol::HandOver, 0,
                                         InstanceProtocol::ShowCommand };
    const QDeadlineTimer deadline(20000);
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
            QThread::msleep(50);
            break;
        }
    } while (!deadline.hasExpired());
    std::fprintf(stderr, "keycrate: another start holds the instance but does not answer\n");
    return Start::Failed;
}

} // namespace

int main(int argc, char **argv)
{
    // Recorded in the instance lock, so that a lock left behind is recognised.
    QCoreApplication::setApplicationName(QStringLiteral("keycrate"));
    auto instance = std::make_unique<Platform::InstanceServer>(
        QString::fromLatin1(InstanceProtocol::WindowTitle));
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
