// Lists a large account (quorvane list --server --all) and a large local store
// (quorvane list --all) and prints the time and the program's peak memory
// (VmHWM) per 100,000 events, beside the baseline of the same run: reading the
// server's answer file (which quorvane keeps) or the store's field files
// plainly, and the bytes either holds. Memory per event is the peak less that
// of listing nothing. A server list's time is mostly the server's; quorvane's
// own CPU time is given apart.
//
//   bench_list [--local COUNT...] [COUNT...]
//   (default: server 100000 1000000, local 100000; a local store of 1,000,000
//   events is nine million small files)

#include "LocalLayout.h"
#include "ReferenceServer.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace {

struct Measured
{
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0; // quorvane's own, without the server's
    double peakMiB = 0;
};

// The peak resident size of a running process, in KiB; 0 once it is gone.
long highWaterMark(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Runs quorvane with its output dropped and waits for it. Its peak is read
// from its own VmHWM while it runs: the usage record wait4 gives would count
// the memory of this program, which the child starts from, too.
Measured quorvane(const QStringList &arguments)
{
    const QByteArray program
        = QFile::encodeName(QCoreApplication::applicationDirPath() + QStringLiteral("/quorvane"));
    QList<QByteArray> texts { program };
    for (const QString &argument : arguments)
        texts.append(argument.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &text : texts)
        argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    Measured measured;
    QElapsedTimer timer;
    timer.start();
    pid_t pid = 0;
    const int spawned
        = posix_spawn(&pid, program.constData(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return measured;
    int status = 0;
    rusage usage {};
    // The server's log is drained meanwhile: a server whose log pipe is full
    // stops answering.
    long peakKiB = 0;
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
        peakKiB = std::max(peakKiB, highWaterMark(pid));
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(5);
    }
    measured.seconds = timer.nsecsElapsed() / 1e9;
    measured.peakMiB = peakKiB / 1024.0;
    measured.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    measured.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!measured.ok)
        std::fprintf(stderr, "quorvane %s failed\n", qPrintable(arguments.join(' ')));
    return measured;
}

bool configure(const QString &url)
{
    const QStringList settings[]
        = { { "config", "server_url", url }, { "config", "user", ReferenceServer::User } };
    for (const QStringList &arguments : settings)
        if (!quorvane(arguments).ok)
            return false;
    // The password goes on standard input; a file stands in for it.
    QTemporaryDir folder;
    const QString file = folder.filePath("password");
    QFile password(file);
    if (!password.open(QIODevice::WriteOnly) || password.write(ReferenceServer::Password) < 0)
        return false;
    password.close();
    const QByteArray command = QFile::encodeName(QCoreApplication::applicationDirPath())
        + "/quorvane config --password-stdin < " + QFile::encodeName(file) + " > /dev/null";
    return std::system(command.constData()) == 0;
}

void row(const char *what, int count, const Measured &run, double emptyPeak, double baseSeconds,
         double baseMiB)
{
    const double per = 100000.0 / count;
    std::printf("%-7s %9d %9.2f %9.2f %9.2f %10.1f %11.1f | %9.3f %9.1f | %6.2f\n", what, count,
                run.seconds, run.seconds * per, run.cpuSeconds * per, run.peakMiB,
                (run.peakMiB - emptyPeak) * per, baseSeconds * per, baseMiB * per,
                (run.peakMiB - emptyPeak) / baseMiB);
    std::fflush(stdout);
}

bool serverList(const QString &home, int count)
{
    ReferenceServer server;
    if (!server.start()) {
        std::fprintf(stderr, "%s\n", qPrintable(server.failure()));
        return false;
    }
    const QString store = home + QStringLiteral("/empty-store");
    if (!configure(server.url()) || !QDir().mkpath(store)
        || !quorvane({ "config", "data_path", store }).ok)
        return false;
    const Measured empty = quorvane({ "list", "--server", "--all" });
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (!empty.ok || !server.seedEvents(ReferenceServer::User, count, now))
        return false;

    const Measured run = quorvane({ "list", "--server", "--all", "--json" });
    if (!run.ok)
        return false;
    // The answer stays in the data folder under its shared name; reading it
    // plainly is the baseline, its size the bytes of the events.
    const QString answerName = store + QStringLiteral("/GetEvents.ServerResponse.txt");
    QElapsedTimer timer;
    timer.start();
    QFile answerFile(answerName);
    const QByteArray answer
        = answerFile.open(QIODevice::ReadOnly) ? answerFile.readAll() : QByteArray();
    const double baseSeconds = timer.nsecsElapsed() / 1e9;
    const double answerMiB = answer.size() / 1048576.0;
    if (answer.count("\nevent\n") < count)
        return false;
    row("server", count, run, empty.peakMiB, baseSeconds, answerMiB);
    return true;
}

bool localList(const QString &home, int count)
{
    const QString xdg = home + QStringLiteral("/store-%1").arg(count);
    const QString data = xdg + QStringLiteral("/keycrate/events");
    // No server: the local list never asks one.
    if (!configure(QStringLiteral("http://127.0.0.1:9")) || !QDir().mkpath(data)
        || !quorvane({ "config", "data_path", data }).ok)
        return false;
    const Measured empty = quorvane({ "list", "--all" });
    if (!empty.ok)
        return false;
    // Spread over 100 days, as the store's own saves lay them out.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (int i = 0; i < count; ++i) {
        const QByteArray id = QByteArray::number(i).rightJustified(8, '0') + "-local-event";
        const QByteArray time = QByteArray::number(now - (i % 100) * 86400);
        const QString folder = Quorvane::LocalLayout::eventFolder(data, time, id);
        if (!QDir().mkpath(folder))
            return false;
        const QList<QPair<const char *, QByteArray>> fields {
            { "id", id },           { "name", "Event " + QByteArray::number(i) },
            { "path", "note.txt" }, { "type", "text/plain" },
            { "content", "" },      { "description", "" },
            { "recordTime", time }, { "recordChanged", time },
        };
        for (const auto &field : fields) {
            QFile file(folder + QLatin1Char('/') + QLatin1String(field.first) + ".txt");
            if (!file.open(QIODevice::WriteOnly) || file.write(field.second) < 0)
                return false;
        }
    }
    // Dropping the caches is not ours to do: the store is read once before,
    // so both the baseline and the list find it cached.
    qint64 bytes = 0;
    double baseSeconds = 0;
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer timer;
        timer.start();
        bytes = 0;
        QDirIterator files(data, { "*.txt" }, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile file(files.next());
            if (file.open(QIODevice::ReadOnly))
                bytes += file.readAll().size();
        }
        baseSeconds = timer.nsecsElapsed() / 1e9;
    }
    const Measured run = quorvane({ "list", "--all", "--json" });
    if (!run.ok)
        return false;
    row("local", count, run, empty.peakMiB, baseSeconds, bytes / 1048576.0);
    QDir(xdg).removeRecursively();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (qEnvironmentVariableIsEmpty("KEYCRATE_BIN_DIR"))
        qputenv("KEYCRATE_BIN_DIR", QFile::encodeName(QCoreApplication::applicationDirPath()));
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    for (const char *folder : { "config", "cache" })
        QDir(home.path()).mkpath(QString::fromLatin1(folder));
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath("config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.filePath("cache")));

    QList<int> serverCounts;
    QList<int> localCounts;
    bool local = false;
    for (const QString &argument : application.arguments().mid(1)) {
        if (argument == QLatin1String("--local"))
            local = true;
        else
            (local ? localCounts : serverCounts).append(argument.toInt());
    }
    if (serverCounts.isEmpty() && localCounts.isEmpty()) {
        serverCounts = { 100000, 1000000 };
        localCounts = { 100000 };
    }

    std::printf("%-7s %9s %9s %9s %9s %10s %11s | %9s %9s | %6s\n", "list", "events", "seconds",
                "s/100k", "cpu/100k", "peak MiB", "MiB/100k", "s/100k", "MiB/100k", "mem x");
    std::printf("%-7s %9s %9s %9s %9s %10s %11s | %s\n", "", "", "", "", "(client)", "(VmHWM)",
                "above empty",
                "baseline: plain read of the answer file (server) or of the field files (local)");
    std::fflush(stdout);
    for (const int count : serverCounts)
        if (count <= 0 || !serverList(home.path(), count))
            return 1;
    for (const int count : localCounts)
        if (count <= 0 || !localList(home.path(), count))
            return 1;
    return 0;
}
