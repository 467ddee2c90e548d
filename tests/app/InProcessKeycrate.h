#pragma once

#include "InstanceProtocol.h"
#include "InstanceServer.h"
#include "MyQApplication.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <memory>

// For tests that run keycrate's application in their own process. Such a test
// runs from a folder of its own, which is therefore keycrate's application
// folder: the library is copied in and the lock list kept there.
namespace InProcessKeycrate {

// Copies the build's library next to the test and starts the lock list anew.
inline void prepareFolder(const QByteArray &lockList)
{
    const QString folder = QFileInfo(QStringLiteral("/proc/self/exe"))
                               .canonicalFilePath()
                               .section(QLatin1Char('/'), 0, -2);
    const QString library = folder + QStringLiteral("/libQuorvane.so");
    QFile::remove(library);
    if (!QFile::copy(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/libQuorvane.so"),
                     library))
        qFatal("cannot copy the library next to the test");
    QFile list(folder + QStringLiteral("/llf"));
    if (!list.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write the lock list");
    list.write(lockList);
}

// Runs the test against an application that holds the instance.
template<class Test> int exec(int argc, char **argv)
{
    auto instance = std::make_unique<Platform::InstanceServer>(
        QString::fromLatin1(InstanceProtocol::WindowTitle));
    if (instance->claim() != Platform::InstanceServer::Claim::Claimed)
        qFatal("cannot claim the instance");
    int applicationArgc = 1;
    MyQApplication application(applicationArgc, argv, std::move(instance));
    Test test(&application);
    return QTest::qExec(&test, argc, argv);
}

} // namespace InProcessKeycrate
