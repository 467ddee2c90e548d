// Uploads and downloads one large file through LogConnection against our
// reference backup server, once plain and once with an unlocked encryption
// key, alternating in each round, and prints the time ratios (encrypted over
// plain) and the peak memory above idle of each transfer. Then, without the
// server, the processor time of sealing the file as an upload reads it, on
// the reading thread and in all, in each format version, against that
// version's cipher alone and a plain read of the same file.
//
//   bench_encryption [--size BYTES] [--rounds N]
//   (defaults: 1 GiB, 3 rounds; quorvane-server next to this program)

#include "BenchFiles.h"
#include "BenchStatistics.h"
#include "ChunkCipher.h"
#include "ConnectionOwner.h"
#include "EncryptingSource.h"
#include "FileEvent.h"
#include "KeyFile.h"
#include "KeyRing.h"
#include "LogConnection.h"
#include "ProcessCpu.h"
#include "ProcessMemory.h"
#include "ReferenceServer.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

using namespace Quorvane;

namespace {

const QByteArray Password = "bench-password";

struct Run
{
    double seconds = 0;
    // Processor seconds of this process and of the server: on a busy
    // machine they tell more than the wall clock does.
    double clientCpu = 0;
    double clientSystem = 0; // the client's kernel time, part of clientCpu
    double serverCpu = 0;
    qint64 peakAboveIdle = 0;
    int result = -1;
};

qint64 serverPid = 0;

double cpuSeconds(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

double systemSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_stime.tv_sec) + double(usage.ru_stime.tv_usec) / 1e6;
}

double serverCpuNow()
{
    return ProcessCpu::seconds(serverPid);
}

// Until the owner collects the result: decryption runs when the answer has
// arrived, so it belongs to the time.
Run timed(ConnectionOwner &owner, const std::function<int()> &operation)
{
    Run run;
    // Every transfer starts with the disk's dirty pages written out: else the
    // later transfer of a round pays for the writes of the earlier ones.
    ::sync();
    ProcessMemory::resetPeak();
    const qint64 idle = ProcessMemory::figure("VmRSS:");
    const double client = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const double system = systemSeconds();
    const double server = serverCpuNow();
    QElapsedTimer clock;
    clock.start();
    const QList<int> codes = owner.run(operation, 30 * 60 * 1000);
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.clientCpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - client;
    run.clientSystem = systemSeconds() - system;
    run.serverCpu = serverCpuNow() - server;
    run.result = codes.value(1, codes.value(0));
    run.peakAboveIdle = ProcessMemory::figure("VmHWM:") - idle;
    return run;
}

struct Cost
{
    double reader = 0; // the reading thread's processor seconds
    double total = 0; // the whole process's
};

// Reads device to its end in pieces of the client's upload buffer.
Cost readThrough(QIODevice &device)
{
    const double reader = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double total = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    QByteArray piece(64 * 1024, Qt::Uninitialized);
    if (device.open(QIODevice::ReadOnly))
        while (device.read(piece.data(), piece.size()) > 0) { }
    device.close();
    return { cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - reader,
             cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - total };
}

// What sealing the payload as it is read costs in each format version,
// against that version's cipher alone on as many bytes plus a plain read.
void sealingCost(const QString &payload, qint64 size, int rounds)
{
    const MasterKey key = MasterKey::generate();
    const CipherBinding binding { "bench", "bench-event" };
    for (int version : { 1, FileCipher::Version }) {
        QList<double> reader, total, cipher, plain;
        for (int round = 0; round < rounds; ++round) {
            EncryptingSource source(payload, key, binding, FileCipher::DefaultChunkSize, version);
            const Cost sealed = readThrough(source);
            reader << sealed.reader;
            total << sealed.total;
            QFile file(payload);
            plain << readThrough(file).total;
            const std::unique_ptr<ChunkCipher> alone
                = ChunkCipher::forSealing(version, key, binding, FileCipher::DefaultChunkSize);
            QByteArray in(FileCipher::DefaultChunkSize, '\0');
            QByteArray out(in.size() + alone->overhead(), '\0');
            const double start = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
            for (qint64 index = 0; index * in.size() < size; ++index)
                alone->seal(index, false, reinterpret_cast<const unsigned char *>(in.constData()),
                            in.size(), reinterpret_cast<unsigned char *>(out.data()));
            cipher << cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - start;
        }
        const double baseline = BenchStatistics::median(cipher) + BenchStatistics::median(plain);
        std::printf("format %d, sealing as read, median of %d: reading thread %.2f s, in all %.2f "
                    "s of processor time; cipher alone %.2f s + plain read %.2f s: ratio %.2fx\n",
                    version, rounds, BenchStatistics::median(reader),
                    BenchStatistics::median(total), BenchStatistics::median(cipher),
                    BenchStatistics::median(plain), BenchStatistics::median(total) / baseline);
        std::fflush(stdout);
    }
}

int fail(const QString &why)
{
    std::fprintf(stderr, "bench_encryption: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir work(QStringLiteral("/tmp/keycrate-bench-encryption-XXXXXX"));
    if (!work.isValid())
        return fail(QStringLiteral("cannot create a folder under /tmp"));
    qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toLocal8Bit());
    qputenv("XDG_STATE_HOME", work.filePath(QStringLiteral("state")).toLocal8Bit());

    QCoreApplication app(argc, argv);
    qint64 size = 1LL << 30;
    int rounds = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--size"))
            size = args[i + 1].toLongLong();
        else if (args[i] == QLatin1String("--rounds"))
            rounds = args[i + 1].toInt();
    }
    if (size <= 0 || rounds <= 0)
        return fail(QStringLiteral("--size and --rounds need positive numbers"));
    qputenv("KEYCRATE_BIN_DIR", app.applicationDirPath().toLocal8Bit());

    QFile load(QStringLiteral("/proc/loadavg"));
    const QByteArray loadNow = load.open(QIODevice::ReadOnly) ? load.readAll().trimmed() : "?";
    std::printf("payload %.0f MiB, load %s\n", double(size) / (1024 * 1024), loadNow.constData());

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

    // The key is unlocked once, before any transfer: its derivation's memory
    // is no part of a transfer's peak. Taking the key file away turns
    // encryption off for the plain rounds.
    const QString keyFile = KeyRing::keyFilePath();
    const QString keyAside = work.filePath(QStringLiteral("key-aside"));
    QDir().mkpath(QFileInfo(keyFile).absolutePath());
    if (!KeyFile::save(keyFile, KeyFile::wrap(MasterKey::generate(), "bench passphrase"))
        || KeyRing::instance().unlock("bench passphrase") != KeyRing::Unlocked
        || !QFile::rename(keyFile, keyAside))
        return fail(QStringLiteral("cannot make and unlock a key"));

    LogConnection connection;
    ConnectionOwner owner(connection);
    QList<double> up[2], down[2];
    // Processor seconds per GiB: [encrypted][client, server].
    QList<double> upCpu[2][2], downCpu[2][2];
    const double gib = double(size) / double(1LL << 30);
    qint64 peakUp[2] = {}, peakDown[2] = {};
    for (int round = 1; round <= rounds; ++round) {
        // Each mode goes first in every other round.
        for (int turn = 0; turn < 2; ++turn) {
            const int encrypted = (turn + round) % 2;
            if (encrypted ? !QFile::rename(keyAside, keyFile)
                          : KeyRing::instance().state() != KeyRing::NoKey)
                return fail(QStringLiteral("cannot switch encryption"));
            const QByteArray id = encrypted ? "11111111-2222-4333-8444-555555555555"
                                            : "66666666-7777-4888-8999-aaaaaaaaaaaa";
            EventElement event
                = fileEvent(id, "File [payload.bin]", payload, "application/octet-stream");
            const Run upload = timed(owner, [&] { return connection.saveEvent(event); });
            if (upload.result != 0)
                return fail(QStringLiteral("upload gave %1").arg(upload.result));
            // Listed first, as the pipe does: the list tells which events are sealed.
            EventMap listed;
            if (owner.run([&] { return connection.readEvents(listed, true, 0, -1); }).value(1) != 0)
                return fail(QStringLiteral("the list failed"));
            EventElement wanted = event;
            wanted.kind = 3;
            const Run download = timed(owner, [&] { return connection.downloadEvent(wanted); });
            if (download.result != 0)
                return fail(QStringLiteral("download gave %1").arg(download.result));
            const QString downloaded
                = work.filePath(QStringLiteral("data/holding/") + QString::fromUtf8(id));
            if (!BenchFiles::same(payload, downloaded))
                return fail(QStringLiteral("the downloaded file differs from the payload"));
            QFile::remove(downloaded);
            if (owner.run([&] { return connection.removeEvent(event); }).value(1) != 0)
                return fail(QStringLiteral("removing the event failed"));
            if (encrypted && !QFile::rename(keyFile, keyAside))
                return fail(QStringLiteral("cannot switch encryption"));
            std::printf("round %d %-9s upload %.2f s, download %.2f s, peak above idle %.1f / "
                        "%.1f MiB; processor s/GiB client+server: upload %.2f+%.2f, download "
                        "%.2f+%.2f (client's system time %.2f)\n",
                        round, encrypted ? "encrypted" : "plain", upload.seconds, download.seconds,
                        double(upload.peakAboveIdle) / (1024 * 1024),
                        double(download.peakAboveIdle) / (1024 * 1024), upload.clientCpu / gib,
                        upload.serverCpu / gib, download.clientCpu / gib, download.serverCpu / gib,
                        download.clientSystem / gib);
            std::fflush(stdout);
            upCpu[encrypted][0] << upload.clientCpu / gib;
            upCpu[encrypted][1] << upload.serverCpu / gib;
            downCpu[encrypted][0] << download.clientCpu / gib;
            downCpu[encrypted][1] << download.serverCpu / gib;
            up[encrypted] << upload.seconds;
            down[encrypted] << download.seconds;
            peakUp[encrypted] = qMax(peakUp[encrypted], upload.peakAboveIdle);
            peakDown[encrypted] = qMax(peakDown[encrypted], download.peakAboveIdle);
        }
    }
    // After the transfers: its buffers are no part of their idle figure.
    sealingCost(payload, size, rounds);
    std::printf("median of %d rounds:\n", rounds);
    std::printf("upload    plain %.2f s   encrypted %.2f s   ratio %.2fx (goal <= 1.25x)\n",
                BenchStatistics::median(up[0]), BenchStatistics::median(up[1]),
                BenchStatistics::median(up[1]) / BenchStatistics::median(up[0]));
    std::printf("download  plain %.2f s   encrypted %.2f s   ratio %.2fx (goal <= 1.25x)\n",
                BenchStatistics::median(down[0]), BenchStatistics::median(down[1]),
                BenchStatistics::median(down[1]) / BenchStatistics::median(down[0]));
    const auto median = [](const QList<double> &values) { return BenchStatistics::median(values); };
    std::printf("processor s/GiB, client + server: upload plain %.2f + %.2f, encrypted %.2f + "
                "%.2f; download plain %.2f + %.2f, encrypted %.2f + %.2f\n",
                median(upCpu[0][0]), median(upCpu[0][1]), median(upCpu[1][0]), median(upCpu[1][1]),
                median(downCpu[0][0]), median(downCpu[0][1]), median(downCpu[1][0]),
                median(downCpu[1][1]));
    std::printf("peak memory above idle, encrypted: upload %.1f MiB, download %.1f MiB (goal < 64 "
                "MiB); plain: %.1f, %.1f MiB\n",
                double(peakUp[1]) / (1024 * 1024), double(peakDown[1]) / (1024 * 1024),
                double(peakUp[0]) / (1024 * 1024), double(peakDown[0]) / (1024 * 1024));
    return 0;
}
