// Uploads and downloads one large file through LogConnection against our
// reference backup server, then does the same with curl against the same
// server, and prints the throughput ratios, processor time per GiB (next to
// curl's plus one `openssl dgst -sha256` pass over the same bytes) and this
// process's peak memory. Then 200 uploads of 4 KiB one after the other,
// next to one curl process sending the same 200 from one config file.
//
//   bench_connection [--size BYTES] [--rounds N] [--server PATH] [--small N]
//   (defaults: 1 GiB, 3 rounds, quorvane-server next to this program, 200)

#include "BenchFiles.h"
#include "BenchStatistics.h"
#include "ConnectionOwner.h"
#include "EventXml.h"
#include "FileEvent.h"
#include "LogConnection.h"
#include "ProcessCpu.h"
#include "ProcessMemory.h"
#include "ReferenceServer.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <optional>
#include <sys/resource.h>
#include <tuple>

using namespace Quorvane;

namespace {

const QByteArray Password = "bench-password";
// The server's processor time counts too: both share the machine's cores.
qint64 serverPid = 0;

bool appendFile(QFile &to, const QString &from)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QByteArray block;
    while (!(block = source.read(4 * 1024 * 1024)).isEmpty()) {
        if (to.write(block) != block.size())
            return false;
    }
    return true;
}

EventElement benchEvent(const QByteArray &id, const QString &path)
{
    return fileEvent(id, "File [payload.bin]", path, "application/octet-stream");
}

// Seconds of processor time: this process's, or that of its waited-for children.
double cpuSeconds(int who)
{
    rusage usage;
    getrusage(who, &usage);
    auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Context switches, voluntary or not, of this process's threads, of its
// waited-for children, or of every thread of a running process: each is a
// wake-up or a preemption.
qint64 switchesOf(int who)
{
    rusage usage;
    getrusage(who, &usage);
    return qint64(usage.ru_nvcsw) + qint64(usage.ru_nivcsw);
}

qint64 switchesOf(qint64 pid)
{
    qint64 total = 0;
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(tasks + QLatin1Char('/') + task + QStringLiteral("/status"));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:")
                || line.startsWith("nonvoluntary_ctxt_switches:"))
                total += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        }
    }
    return total;
}

struct Run
{
    double seconds = 0;
    double cpu = 0; // every thread of the client, user and system
    double mainCpu = 0; // the thread curl runs on, whose work is a transfer's longest chain
    double serverCpu = 0;
    qint64 peakAboveIdle = 0;
    qint64 switches = 0; // the client's
    qint64 serverSwitches = 0;
    int result = -1;
};

// One operation through the connection, driven as the pipe drives it. The
// time ends when the request ends (the status word leaves 77), not at the
// owner's 314 ms tick that collects the result.
Run throughConnection(LogConnection &connection, ConnectionOwner &owner,
                      const std::function<int()> &operation)
{
    Run run;
    QElapsedTimer clock;
    std::optional<qint64> ended;
    QTimer watch;
    watch.setTimerType(Qt::PreciseTimer);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!ended && connection.statusWord() != LogConnection::InFlight)
            ended = clock.nsecsElapsed();
    });
    ProcessMemory::resetPeak();
    const qint64 idle = ProcessMemory::figure("VmRSS:");
    const double cpu = cpuSeconds(RUSAGE_SELF);
    const double mainCpu = cpuSeconds(RUSAGE_THREAD);
    const double serverCpu = ProcessCpu::seconds(serverPid);
    const qint64 switches = switchesOf(RUSAGE_SELF);
    const qint64 serverSwitches = switchesOf(serverPid);
    clock.start();
    watch.start(2);
    const QList<int> codes = owner.run(operation, 30 * 60 * 1000);
    watch.stop();
    run.result = codes.value(1, codes.value(0));
    run.seconds = double(ended.value_or(clock.nsecsElapsed())) / 1e9;
    run.cpu = cpuSeconds(RUSAGE_SELF) - cpu;
    run.mainCpu = cpuSeconds(RUSAGE_THREAD) - mainCpu;
    run.serverCpu = ProcessCpu::seconds(serverPid) - serverCpu;
    run.switches = switchesOf(RUSAGE_SELF) - switches;
    run.serverSwitches = switchesOf(serverPid) - serverSwitches;
    run.peakAboveIdle = ProcessMemory::figure("VmHWM:") - idle;
    return run;
}

std::optional<Run> throughCurl(const QStringList &arguments,
                               const QString &program = QStringLiteral("curl"))
{
    QProcess curl;
    curl.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    const double cpu = cpuSeconds(RUSAGE_CHILDREN);
    const double serverCpu = ProcessCpu::seconds(serverPid);
    const qint64 switches = switchesOf(RUSAGE_CHILDREN);
    const qint64 serverSwitches = switchesOf(serverPid);
    clock.start();
    curl.setStandardOutputFile(QProcess::nullDevice());
    curl.start(program, arguments);
    if (!curl.waitForFinished(30 * 60 * 1000) || curl.exitStatus() != QProcess::NormalExit
        || curl.exitCode() != 0)
        return std::nullopt;
    Run run;
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.cpu = cpuSeconds(RUSAGE_CHILDREN) - cpu;
    run.serverCpu = ProcessCpu::seconds(serverPid) - serverCpu;
    run.switches = switchesOf(RUSAGE_CHILDREN) - switches;
    run.serverSwitches = switchesOf(serverPid) - serverSwitches;
    run.result = 0;
    return run;
}

int fail(const QString &why)
{
    std::fprintf(stderr, "bench_connection: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    // Everything, settings included, lives in one folder that goes at the end.
    // TMPDIR=/dev/shm keeps a disk shared with other work out of the figures.
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/keycrate-bench-connection-XXXXXX"));
    if (!work.isValid())
        return fail(QStringLiteral("cannot create a folder under ") + QDir::tempPath());
    qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toLocal8Bit());

    QCoreApplication app(argc, argv);
    qint64 size = 1LL << 30;
    int rounds = 3;
    int smallCount = 200;
    QString serverBinary = app.applicationDirPath() + QStringLiteral("/quorvane-server");
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--size"))
            size = args[i + 1].toLongLong();
        else if (args[i] == QLatin1String("--rounds"))
            rounds = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--small"))
            smallCount = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--server"))
            serverBinary = args[i + 1];
    }
    if (size <= 0 || rounds <= 0)
        return fail(QStringLiteral("--size and --rounds need positive numbers"));
    qputenv("KEYCRATE_BIN_DIR", QFileInfo(serverBinary).absolutePath().toLocal8Bit());

    const double mib = double(size) / (1024 * 1024);
    QFile load(QStringLiteral("/proc/loadavg"));
    const QByteArray loadNow = load.open(QIODevice::ReadOnly) ? load.readAll().trimmed() : "?";
    std::printf("payload %.0f MiB, server %s, load %s\n", mib, qPrintable(ServerProcess::program()),
                loadNow.constData());

    ReferenceServer server(work.filePath(QStringLiteral("server")));
    if (!server.addAccount("bench", Password) || !server.start())
        return fail(server.failure());
    serverPid = server.process().pid();

    const QString payload = work.filePath(QStringLiteral("payload.bin"));
    if (!BenchFiles::writePayload(payload, size))
        return fail(QStringLiteral("cannot write the payload"));

    SettingsStore settings;
    settings.setValue(QStringLiteral("server_url"), server.url());
    settings.writeCredentials("bench", Password);
    settings.writeDataPath(work.filePath(QStringLiteral("data")).toUtf8());

    // curl sends the same body, for an event of its own.
    EventElement ours = benchEvent("11111111-2222-4333-8444-555555555555", payload);
    EventElement theirs = benchEvent("66666666-7777-4888-8999-aaaaaaaaaaaa", payload);
    const QString curlBody = work.filePath(QStringLiteral("curl-body.bin"));
    const QString curlDocument = work.filePath(QStringLiteral("curl-document.xml"));
    {
        QFile body(curlBody);
        if (!body.open(QIODevice::WriteOnly)
            || body.write(EventXml::document(theirs) + EventXml::UploadSeparator) < 0
            || !appendFile(body, payload))
            return fail(QStringLiteral("cannot write curl's body"));
        QFile document(curlDocument);
        if (!document.open(QIODevice::WriteOnly) || document.write(EventXml::document(theirs)) < 0)
            return fail(QStringLiteral("cannot write curl's document"));
    }
    const QString base = server.url() + QLatin1String(LogConnection::ServerPath);
    const QString credentials
        = QStringLiteral("username=bench&password=") + QString::fromUtf8(Password);
    const QString downloaded
        = work.filePath(QStringLiteral("data/holding/") + QString::fromUtf8(ours.getId()));
    const QString curlDownloaded = work.filePath(QStringLiteral("curl-download.bin"));

    LogConnection connection;
    ConnectionOwner owner(connection);
    EventElement wanted = ours;
    wanted.kind = 3;
    EventElement theirsOnServer = theirs;

    // Rounds interleave the two clients, so a busy moment of the machine does
    // not fall on one of them only; the medians are compared.
    QList<double> upConnection, upCurl, downConnection, downCurl;
    QList<double> cpuUp, cpuCurlUp, cpuDown, cpuCurlDown, cpuDigest;
    qint64 peakUp = 0, peakDown = 0;
    for (int round = 1; round <= rounds; ++round) {
        // Whoever goes first meets memory the machine has not handed out
        // lately; the order turns with each round.
        const bool curlFirst = round % 2 == 0;
        Run upload;
        std::optional<Run> curlUpload;
        auto uploadOurs = [&] {
            upload
                = throughConnection(connection, owner, [&] { return connection.saveEvent(ours); });
        };
        auto uploadCurl = [&] {
            curlUpload = throughCurl(
                { "-sS", "-f", "-o", "/dev/null", "-H", "Expect:", "-H",
                  "Content-Type: application/octet-stream", "-X", "POST", "-T", curlBody,
                  base + "/quorvupload?" + credentials + "&access_id=0&title=curl" });
        };
        if (curlFirst)
            uploadCurl();
        uploadOurs();
        if (!curlFirst)
            uploadCurl();
        if (upload.result != 0)
            return fail(QStringLiteral("upload through LogConnection gave %1").arg(upload.result));
        if (!curlUpload)
            return fail(QStringLiteral("curl's upload failed"));

        Run download;
        std::optional<Run> curlDownload;
        auto downloadOurs = [&] {
            download = throughConnection(connection, owner,
                                         [&] { return connection.downloadEvent(wanted); });
        };
        auto downloadCurl = [&] {
            curlDownload = throughCurl({ "-sS", "-f", "-o", curlDownloaded, "-H",
                                         "Content-Type: application/xml", "--data-binary",
                                         "@" + curlDocument,
                                         base + "/quorvdownload?" + credentials
                                             + "&extguid=" + QString::fromUtf8(theirs.getId()) });
        };
        if (curlFirst)
            downloadCurl();
        downloadOurs();
        if (!curlFirst)
            downloadCurl();
        if (download.result != 0)
            return fail(
                QStringLiteral("download through LogConnection gave %1").arg(download.result));
        if (!curlDownload)
            return fail(QStringLiteral("curl's download failed"));
        if (!BenchFiles::same(payload, downloaded) || !BenchFiles::same(payload, curlDownloaded))
            return fail(QStringLiteral("a downloaded file differs from the payload"));

        // Room for the next round, on the server and here.
        if (owner.run([&] { return connection.removeEvent(ours); }).value(1) != 0
            || owner.run([&] { return connection.removeEvent(theirsOnServer); }).value(1) != 0)
            return fail(QStringLiteral("removing the uploaded events failed"));
        QFile::remove(downloaded);
        QFile::remove(curlDownloaded);
        // What hashing the same bytes once costs on its own.
        const auto digest = throughCurl({ "dgst", "-sha256", payload }, QStringLiteral("openssl"));
        if (!digest)
            return fail(QStringLiteral("openssl dgst failed"));

        std::printf("round %d%s: upload %.2f s (cpu %.2f s, curl's thread %.2f s, server %.2f "
                    "s), curl %.2f s (cpu %.2f s, server %.2f s); download %.2f s (cpu %.2f s, "
                    "curl's thread %.2f s, server %.2f s), curl %.2f s (cpu %.2f s, server %.2f "
                    "s)\n",
                    round, curlFirst ? " (curl first)" : "", upload.seconds, upload.cpu,
                    upload.mainCpu, upload.serverCpu, curlUpload->seconds, curlUpload->cpu,
                    curlUpload->serverCpu, download.seconds, download.cpu, download.mainCpu,
                    download.serverCpu, curlDownload->seconds, curlDownload->cpu,
                    curlDownload->serverCpu);
        const double perGib = double(1LL << 30) / double(size);
        std::printf("  context switches per GiB, client / server: upload %.0f / %.0f, curl %.0f / "
                    "%.0f; download %.0f / %.0f, curl %.0f / %.0f\n",
                    upload.switches * perGib, upload.serverSwitches * perGib,
                    curlUpload->switches * perGib, curlUpload->serverSwitches * perGib,
                    download.switches * perGib, download.serverSwitches * perGib,
                    curlDownload->switches * perGib, curlDownload->serverSwitches * perGib);
        std::fflush(stdout);
        upConnection << upload.seconds;
        upCurl << curlUpload->seconds;
        downConnection << download.seconds;
        downCurl << curlDownload->seconds;
        cpuUp << upload.cpu;
        cpuCurlUp << curlUpload->cpu;
        cpuDown << download.cpu;
        cpuCurlDown << curlDownload->cpu;
        cpuDigest << digest->cpu;
        peakUp = qMax(peakUp, upload.peakAboveIdle);
        peakDown = qMax(peakDown, download.peakAboveIdle);
    }

    const double upload = BenchStatistics::median(upConnection),
                 curlUpload = BenchStatistics::median(upCurl);
    const double download = BenchStatistics::median(downConnection),
                 curlDownload = BenchStatistics::median(downCurl);
    auto rate = [mib](double seconds) { return mib / seconds; };
    std::printf("median of %d rounds:\n", rounds);
    std::printf("upload    LogConnection %7.1f MiB/s (%.2f s)   curl %7.1f MiB/s (%.2f s)   "
                "ratio %.2fx (goal >= 1.0x)\n",
                rate(upload), upload, rate(curlUpload), curlUpload, curlUpload / upload);
    std::printf("download  LogConnection %7.1f MiB/s (%.2f s)   curl %7.1f MiB/s (%.2f s)   "
                "ratio %.2fx (goal >= 0.9x)\n",
                rate(download), download, rate(curlDownload), curlDownload,
                curlDownload / download);
    const double gib = double(size) / (1024.0 * 1024 * 1024);
    const double digestCpu = BenchStatistics::median(cpuDigest) / gib;
    for (const auto &[name, ours, theirs] :
         { std::make_tuple("upload", BenchStatistics::median(cpuUp),
                           BenchStatistics::median(cpuCurlUp)),
           std::make_tuple("download", BenchStatistics::median(cpuDown),
                           BenchStatistics::median(cpuCurlDown)) }) {
        const double budget = 1.5 * theirs / gib + digestCpu;
        std::printf("cpu per GiB %-8s LogConnection %.2f s   curl %.2f s   openssl dgst %.2f s   "
                    "ratio to 1.5x curl + dgst %.2fx (goal <= 1.0x)\n",
                    name, ours / gib, theirs / gib, digestCpu, ours / gib / budget);
    }
    std::printf("peak memory above idle (highest VmHWM - VmRSS before): upload %.1f MiB, download "
                "%.1f MiB\n",
                double(peakUp) / (1024 * 1024), double(peakDown) / (1024 * 1024));

    // Many small files: what a backup of a folder of notes looks like.
    if (smallCount <= 0)
        return 0;
    QList<EventElement> smallEvents;
    QFile config(work.filePath(QStringLiteral("curl-small.config")));
    if (!config.open(QIODevice::WriteOnly))
        return fail(QStringLiteral("cannot write curl's config"));
    for (int i = 0; i < smallCount; ++i) {
        const QString file = work.filePath(QStringLiteral("small-%1.bin").arg(i));
        if (!BenchFiles::writePayload(file, 4096))
            return fail(QStringLiteral("cannot write a small file"));
        const QByteArray id = QUuid::createUuid().toByteArray(QUuid::WithoutBraces);
        smallEvents << benchEvent(id, file);
        const QString body = work.filePath(QStringLiteral("small-body-%1.bin").arg(i));
        QFile out(body);
        if (!out.open(QIODevice::WriteOnly)
            || out.write(EventXml::document(smallEvents.last()) + EventXml::UploadSeparator) < 0
            || !appendFile(out, file))
            return fail(QStringLiteral("cannot write a small body"));
        config.write((i ? "next\n" : "") + QByteArray("url = \"") + base.toUtf8() + "/quorvupload?"
                     + credentials.toUtf8() + "&access_id=0&title=curl" + QByteArray::number(i)
                     + "\"\ndata-binary = \"@" + body.toUtf8()
                     + "\"\nheader = \"Content-Type: application/octet-stream\"\n"
                       "output = \"/dev/null\"\nfail\nsilent\nshow-error\n");
    }
    config.close();
    QElapsedTimer clock;
    clock.start();
    for (EventElement &event : smallEvents) {
        if (owner.run([&] { return connection.saveEvent(event); }).value(1) != 0)
            return fail(QStringLiteral("a small upload through LogConnection failed"));
    }
    const double smallOurs = double(clock.nsecsElapsed()) / 1e9;
    const auto smallCurl = throughCurl({ "-K", config.fileName() });
    if (!smallCurl)
        return fail(QStringLiteral("curl's small uploads failed"));
    std::printf("%d uploads of 4 KiB: LogConnection %.2f s, one curl process %.2f s, ratio %.2fx\n",
                smallCount, smallOurs, smallCurl->seconds, smallOurs / smallCurl->seconds);
    return 0;
}
