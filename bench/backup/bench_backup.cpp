// Backs up folders of many small files with quorvane against our reference
// server, in a private home, and prints the time per file for each count: it
// should stay flat as the count grows. The baseline is the first count's time
// per file in the same run; each row gives its ratio to it. quorvane's own CPU
// time per file is given too: it is less moved by the load of the machine.
//
//   bench_backup [COUNT...]   (default: 1000 10000; add 100000 for the long run)

#include "ReferenceServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <sys/resource.h>

namespace {

// CPU seconds of the children waited for so far.
double childrenCpu()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QString quorvane()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/quorvane");
}

bool run(const QStringList &arguments, const QByteArray &input = {})
{
    QProcess process;
    process.start(quorvane(), arguments);
    process.write(input);
    process.closeWriteChannel();
    // In an event loop, which also drains the server's log: a server
    // whose log pipe is full stops answering.
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        std::fprintf(stderr, "quorvane %s failed: %s\n", qPrintable(arguments.join(' ')),
                     process.readAllStandardError().constData());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    // The server is the one built beside this program.
    if (qEnvironmentVariableIsEmpty("KEYCRATE_BIN_DIR"))
        qputenv("KEYCRATE_BIN_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    // quorvane's settings and store stay in the private home.
    for (const char *folder : { "config", "data", "cache" })
        QDir(home.path()).mkpath(QString::fromLatin1(folder));
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath("data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));

    ReferenceServer server;
    if (!server.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.failure()));
        return 1;
    }
    if (!run({ "config", "server_url", server.url() })
        || !run({ "config", "user", ReferenceServer::User })
        || !run({ "config", "--password-stdin" }, QByteArray(ReferenceServer::Password) + "\n"))
        return 1;

    QStringList counts = application.arguments().mid(1);
    if (counts.isEmpty())
        counts = { QStringLiteral("1000"), QStringLiteral("10000") };
    std::printf("%8s %10s %12s %18s %16s\n", "files", "seconds", "ms per file", "ratio to baseline",
                "cpu ms per file");
    std::fflush(stdout);
    double baseline = 0;
    for (const QString &given : counts) {
        const int count = given.toInt();
        const QString folder = home.filePath(QStringLiteral("files-%1").arg(count));
        QDir().mkpath(folder);
        for (int i = 0; i < count; ++i) {
            QFile file(folder + QStringLiteral("/f%1.txt").arg(i));
            if (!file.open(QIODevice::WriteOnly) || file.write(QByteArray::number(i)) <= 0)
                return 1;
        }
        QElapsedTimer timer;
        timer.start();
        const double cpuBefore = childrenCpu();
        if (!run({ "--quiet", "backup", folder }))
            return 1;
        const double seconds = timer.nsecsElapsed() / 1e9;
        const double perFile = seconds * 1000 / count;
        if (baseline == 0)
            baseline = perFile;
        const double cpuPerFile = (childrenCpu() - cpuBefore) * 1000 / count;
        std::printf("%8d %10.1f %12.2f %18.2f %16.3f%s\n", count, seconds, perFile,
                    perFile / baseline, cpuPerFile, perFile == baseline ? "  (baseline)" : "");
        std::fflush(stdout);
    }
    return 0;
}
