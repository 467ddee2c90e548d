// keycrate's start with 10,000 locked files and its window shown: protected by
// keycrate-lockd against today's advisory locks alone, paired in one run.
//
// Each sample is the time from starting the program to its instance channel
// listening, the last step of its start, after the window was filled; the
// ratio is the median of the paired ratios. The files are handed to the
// service without waiting, so the time until the last one is immutable is
// shown too. Needs root (the service sets the
// immutable flag); the window runs offscreen unless DISPLAY names a server.

#include "BenchStatistics.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

constexpr int FileCount = 10000;
constexpr int Rounds = 5;

bool immutable(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int flags = 0;
    const bool set
        = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL);
    if (fd >= 0)
        ::close(fd);
    return set;
}

struct Start
{
    double listening = 0; // the window shown and filled, other programs answered
    double protectedAll = 0; // the last listed file immutable; 0 when not awaited
};

// One start, until keycrate listens and, when given, until that file is
// immutable; keycrate is killed then, its list kept.
Start startOnce(const QString &program, const QProcessEnvironment &environment,
                const QString &lastProtected = {})
{
    QProcess keycrate;
    keycrate.setProcessEnvironment(environment);
    keycrate.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    keycrate.start(program, {});
    QByteArray output;
    const QDeadlineTimer deadline(120000);
    while (!output.contains("listening at")) {
        if (deadline.hasExpired() || !keycrate.waitForReadyRead(1000)) {
            if (keycrate.state() != QProcess::Running || deadline.hasExpired())
                qFatal("keycrate did not start: %s", output.constData());
        }
        output += keycrate.readAll();
    }
    Start start;
    start.listening = timer.nsecsElapsed() / 1e6;
    if (!lastProtected.isEmpty()) {
        while (!immutable(lastProtected) && !deadline.hasExpired())
            QThread::usleep(500);
        start.protectedAll = timer.nsecsElapsed() / 1e6;
    }
    keycrate.kill();
    keycrate.waitForFinished();
    return start;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench-lock-start: needs root, for keycrate-lockd\n");
        return 1;
    }
    const QString bin = QCoreApplication::applicationDirPath();
    QTemporaryDir work(QStringLiteral("/tmp/bench-lock-start-XXXXXX"));
    const QString files = work.filePath(QStringLiteral("files"));
    const QString app = work.filePath(QStringLiteral("app"));
    const QString home = work.filePath(QStringLiteral("home"));
    for (const QString &folder : { files, app, home, work.filePath(QStringLiteral("state")) })
        QDir().mkpath(folder);
    for (const char *file : { "keycrate", "libQuorvane.so" })
        if (!QFile::copy(bin + QLatin1Char('/') + QLatin1String(file),
                         app + QLatin1Char('/') + QLatin1String(file)))
            qFatal("cannot copy %s from %s", file, qPrintable(bin));
    QByteArray list;
    const auto fileName = [&](int index) {
        return files + QStringLiteral("/file-%1.txt").arg(index, 5, 10, QLatin1Char('0'));
    };
    for (int index = 0; index < FileCount; ++index) {
        const QString path = fileName(index);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("locked\n") != 7)
            qFatal("cannot create %s", qPrintable(path));
        list += QFile::encodeName(path) + '\n';
    }
    QFile listFile(app + QStringLiteral("/llf"));
    if (!listFile.open(QIODevice::WriteOnly) || listFile.write(list) != list.size())
        qFatal("cannot write the lock list");
    listFile.close();
    const QString lastFile = fileName(FileCount - 1);

    const QString socket = work.filePath(QStringLiteral("lockd.socket"));
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // Should the benchmark die, the service ends in order and clears its flags.
    service.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    service.start(bin + QStringLiteral("/keycrate-lockd"),
                  { QStringLiteral("--socket"), socket, QStringLiteral("--state-dir"),
                    work.filePath(QStringLiteral("state")), QStringLiteral("--idle-exit"),
                    QStringLiteral("0") });
    for (int attempt = 0; attempt < 100 && !QFile::exists(socket); ++attempt)
        service.waitForFinished(50);
    if (!QFile::exists(socket))
        qFatal("keycrate-lockd did not start");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.contains(QStringLiteral("DISPLAY")))
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("keycrate.*.info=true"));
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/config"));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home + QStringLiteral("/data"));
    environment.insert(QStringLiteral("TMPDIR"), home);
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcessEnvironment advisory = environment;
    advisory.insert(QStringLiteral("KEYCRATE_LOCKD_SOCKET"), work.filePath(QStringLiteral("none")));
    QProcessEnvironment protectedStart = environment;
    protectedStart.insert(QStringLiteral("KEYCRATE_LOCKD_SOCKET"), socket);

    const QString program = app + QStringLiteral("/keycrate");
    QList<double> advisoryMs;
    QList<double> protectedMs;
    QList<double> protectedAllMs;
    QList<double> ratios;
    startOnce(program, advisory); // warms the caches for both
    for (int round = 0; round < Rounds; ++round) {
        const double baseline = startOnce(program, advisory).listening;
        const Start measured = startOnce(program, protectedStart, lastFile);
        // The service lets go of the killed keycrate's files before the next pair.
        const QDeadlineTimer released(60000);
        while (immutable(lastFile) && !released.hasExpired())
            QThread::msleep(10);
        advisoryMs.append(baseline);
        protectedMs.append(measured.listening);
        protectedAllMs.append(measured.protectedAll);
        ratios.append(measured.listening / baseline);
    }
    service.terminate();
    service.waitForFinished();

    std::printf("keycrate's start with %d locked files, window shown (medians of %d pairs)\n",
                FileCount, Rounds);
    std::printf("  %-34s %8.1f ms\n  %-34s %8.1f ms   ratio %5.2f  (goal <= 1.5)\n"
                "  %-34s %8.1f ms   (protection goes on after the start)\n",
                "advisory locks (no service)", BenchStatistics::median(advisoryMs),
                "protected by keycrate-lockd", BenchStatistics::median(protectedMs),
                BenchStatistics::median(ratios), "  every file immutable after",
                BenchStatistics::median(protectedAllMs));
    return 0;
}
