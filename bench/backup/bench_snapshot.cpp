// quorvane backup and restore next to tar streamed by curl, against one
// reference server: a tree of many small files in nested folders, then one
// large file. The baseline is `tar -c` piped into one curl upload, and one
// curl download piped into `tar -x`, of the same tree to the same server.
// Every restored tree is compared with the original byte for byte (and, for
// quorvane, mode and time too). An unchanged second backup of the small files
// is timed on its own. Each round has a server of its own and swaps which
// client goes first; the medians are compared. The server's processor time
// is given beside each client's: on a busy machine it tells more than the
// wall clock does.
//
//   bench_snapshot [--files N] [--big BYTES] [--rounds N]   (10000, 1 GiB, 3)

#include "BenchStatistics.h"
#include "ProcessCpu.h"
#include "ReferenceServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

struct Timed
{
    bool ok = false;
    double seconds = 0;
    double cpu = 0; // of the client processes
    double serverCpu = 0;
    QByteArray out;
};

qint64 serverPid = 0;

double serverCpuNow()
{
    return ProcessCpu::seconds(serverPid);
}

double childrenCpu()
{
    rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Runs a program to its end inside an event loop, which also drains the
// server's log: a server whose log pipe is full stops answering.
Timed timed(const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    Timed result;
    QProcess process;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    const double cpu = childrenCpu();
    const double serverCpu = serverCpuNow();
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    result.seconds = double(clock.nsecsElapsed()) / 1e9;
    result.cpu = childrenCpu() - cpu;
    result.serverCpu = serverCpuNow() - serverCpu;
    result.out = process.readAllStandardOutput();
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!result.ok)
        std::fprintf(stderr, "%s %s failed:\n%s\n", qPrintable(program),
                     qPrintable(arguments.join(' ').left(200)),
                     process.readAllStandardError().constData());
    return result;
}

Timed quorvane(const QStringList &arguments, const QByteArray &input = {})
{
    return timed(QCoreApplication::applicationDirPath() + QStringLiteral("/quorvane"), arguments,
                 input);
}

int fail(const QString &why)
{
    std::fprintf(stderr, "bench_snapshot: %s\n", qPrintable(why));
    return 1;
}

// Deterministic bytes, so two runs send the same trees.
void fill(char *data, std::size_t size, quint64 &state)
{
    for (std::size_t i = 0; i < size; ++i) {
        if (i % 8 == 0) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
        }
        data[i] = char(state >> (8 * (i % 8)));
    }
}

// files files of 0 to 16 KiB, 100 to a folder, in folders two deep.
bool makeSmallTree(const QString &root, int files, qint64 *bytes)
{
    quint64 state = 0x9E3779B97F4A7C15ull;
    std::vector<char> data(16384);
    *bytes = 0;
    for (int i = 0; i < files; ++i) {
        const QString folder = root
            + QStringLiteral("/part-%1/box-%2").arg(i / 1000, 2, 10, QLatin1Char('0')).arg(i / 100);
        if (i % 100 == 0 && !QDir().mkpath(folder))
            return false;
        const std::size_t size
            = i % 97 == 0 ? 0 : std::size_t((quint64(i) * 2654435761u >> 7) % data.size());
        fill(data.data(), size, state);
        std::ofstream file((folder + QStringLiteral("/note-%1.txt").arg(i)).toStdString(),
                           std::ios::binary);
        if (!file.write(data.data(), std::streamsize(size)))
            return false;
        *bytes += qint64(size);
    }
    // A link and an empty folder belong to a real tree too.
    return ::symlink("part-00/box-0/note-1.txt", (root + "/latest").toLocal8Bit()) == 0
        && QDir().mkpath(root + "/empty");
}

bool makeBigFile(const QString &path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    std::ofstream file(path.toStdString(), std::ios::binary);
    quint64 state = 0x2545F4914F6CDD1Dull;
    std::vector<char> block(4 << 20);
    for (qint64 written = 0; written < size; written += qint64(block.size())) {
        fill(block.data(), block.size(), state);
        if (!file.write(block.data(),
                        std::streamsize(std::min<qint64>(qint64(block.size()), size - written))))
            return false;
    }
    return bool(file.flush());
}

bool sameBytes(const fs::path &a, const fs::path &b)
{
    std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
    std::vector<char> x(1 << 20), y(1 << 20);
    while (first && second) {
        first.read(x.data(), std::streamsize(x.size()));
        second.read(y.data(), std::streamsize(y.size()));
        if (first.gcount() != second.gcount()
            || std::memcmp(x.data(), y.data(), std::size_t(first.gcount())) != 0)
            return false;
    }
    return first.eof() && second.eof();
}

// The restored tree holds exactly the original's entries, each of the same
// type and bytes (link targets for links); withMeta: also modes and times.
QString difference(const fs::path &original, const fs::path &restored, bool withMeta)
{
    std::error_code error;
    std::size_t count = 0;
    for (auto it = fs::recursive_directory_iterator(original, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        const fs::path relative = it->path().lexically_relative(original);
        const fs::path copy = restored / relative;
        struct stat want, got;
        if (::lstat(it->path().c_str(), &want) != 0 || ::lstat(copy.c_str(), &got) != 0)
            return QString::fromStdString(relative.string()) + QStringLiteral(" is missing");
        ++count;
        const QString where = QString::fromStdString(relative.string());
        if ((want.st_mode & S_IFMT) != (got.st_mode & S_IFMT))
            return where + QStringLiteral(" has another type");
        if (S_ISREG(want.st_mode) && !sameBytes(it->path(), copy))
            return where + QStringLiteral(" has other bytes");
        if (S_ISLNK(want.st_mode) && fs::read_symlink(it->path()) != fs::read_symlink(copy))
            return where + QStringLiteral(" links elsewhere");
        if (withMeta && !S_ISLNK(want.st_mode)
            && ((want.st_mode & 07777) != (got.st_mode & 07777)
                || want.st_mtim.tv_sec != got.st_mtim.tv_sec
                || want.st_mtim.tv_nsec != got.st_mtim.tv_nsec))
            return where + QStringLiteral(" has another mode or time");
    }
    if (error)
        return QString::fromStdString(error.message());
    std::size_t restoredCount = 0;
    for (auto it = fs::recursive_directory_iterator(restored, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error))
        ++restoredCount;
    if (restoredCount != count)
        return QStringLiteral("%1 entries restored, %2 backed up").arg(restoredCount).arg(count);
    return {};
}

struct Pair
{
    Timed ours;
    Timed tar;
};

// Both clients against one server: each round has a new one, so every
// round's first backup sends everything.
class Bench
{
public:
    explicit Bench(const QString &work)
        : m_work(work)
    {
    }

    void setServer(ReferenceServer *server) { m_server = server; }
    // Both ways for one root, in the order given; false after saying what failed.
    bool measure(const QString &root, bool tarFirst, Pair *backup, Pair *restore);

private:
    QString target(const char *action, const QString &query) const
    {
        return m_server->url() + QStringLiteral("/action/file/") + QLatin1String(action)
            + QStringLiteral("?username=") + QLatin1String(ReferenceServer::User)
            + QStringLiteral("&password=") + QLatin1String(ReferenceServer::Password) + query;
    }
    bool tarBackup(const QString &root, const QByteArray &id, Timed *timed);
    bool ourBackup(const QString &root, Timed *timed, QString *snapshot);

    ReferenceServer *m_server = nullptr;
    QString m_work;
    int m_count = 0;
};

bool Bench::tarBackup(const QString &root, const QByteArray &id, Timed *result)
{
    const QByteArray time = QByteArray::number(QDateTime::currentSecsSinceEpoch());
    const QString document = m_work + QStringLiteral("/document.xml");
    QFile file(document);
    if (!file.open(QIODevice::WriteOnly)
        || file.write("<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>" + id
                      + "</id><name><![CDATA[tar]]></name><path><![CDATA[tree.tar]]></path>"
                        "<type>application/x-tar</type><content><![CDATA[]]></content>"
                        "<description><![CDATA[]]></description><recordTime>"
                      + time + "</recordTime><recordChanged>" + time
                      + "</recordChanged></event>-|+")
            < 0)
        return fail(QStringLiteral("cannot write the event document")), false;
    file.close();
    // One upload of unknown length (chunked), as tar makes it; the server
    // answers an error with a body starting "~**".
    *result = timed(QStringLiteral("bash"),
                    { "-o", "pipefail", "-c",
                      "{ cat \"$1\" && tar -cf - -C \"$2\" \"$3\"; } | curl -sS -f -X POST -H "
                      "'Expect:' -H 'Content-Type: application/octet-stream' -T - \"$4\"",
                      "bench", document, QFileInfo(root).absolutePath(), QFileInfo(root).fileName(),
                      target("quorvupload", QStringLiteral("&access_id=0&title=tar")) });
    if (!result->ok || result->out.startsWith("~**"))
        return fail(QStringLiteral("tar | curl: ") + QString::fromUtf8(result->out)), false;
    return true;
}

bool Bench::ourBackup(const QString &root, Timed *result, QString *snapshot)
{
    *result = quorvane({ "--quiet", "backup", root });
    snapshot->clear();
    for (const QByteArray &line : result->out.split('\n'))
        if (line.startsWith("snapshot "))
            *snapshot = QString::fromUtf8(line.split(' ').value(1));
    if (result->ok && snapshot->isEmpty())
        return fail(QStringLiteral("no snapshot in: ") + QString::fromUtf8(result->out)), false;
    return result->ok;
}

bool Bench::measure(const QString &root, bool tarFirst, Pair *backup, Pair *restore)
{
    ++m_count;
    const QString name = QFileInfo(root).fileName();
    const QByteArray id = QByteArrayLiteral("bench-tar-") + QByteArray::number(m_count);
    QString snapshot;
    if (tarFirst ? !tarBackup(root, id, &backup->tar) || !ourBackup(root, &backup->ours, &snapshot)
                 : !ourBackup(root, &backup->ours, &snapshot) || !tarBackup(root, id, &backup->tar))
        return false;

    const QString tarTo = m_work + QStringLiteral("/restored-tar");
    const QString oursTo = m_work + QStringLiteral("/restored-quorvane");
    QDir().mkpath(tarTo);
    const auto tarRestore = [&] {
        restore->tar
            = timed(QStringLiteral("bash"),
                    { "-o", "pipefail", "-c",
                      "curl -sS -f --data-binary NoData \"$1\" | tar -xf - -C \"$2\"", "bench",
                      target("quorvdownload", QStringLiteral("&extguid=") + QString(id)), tarTo });
        return restore->tar.ok;
    };
    const auto ourRestore = [&] {
        restore->ours = quorvane({ "--quiet", "restore", snapshot, "--to", oursTo });
        return restore->ours.ok;
    };
    if (tarFirst ? !tarRestore() || !ourRestore() : !ourRestore() || !tarRestore())
        return false;

    QString wrong = difference(root.toStdString(), (tarTo + "/" + name).toStdString(), false);
    if (!wrong.isEmpty())
        return fail(QStringLiteral("tar's restore differs: ") + wrong), false;
    wrong = difference(root.toStdString(), (oursTo + "/" + name).toStdString(), true);
    if (!wrong.isEmpty())
        return fail(QStringLiteral("quorvane's restore differs: ") + wrong), false;
    // Room on the disk for the next tree.
    QDir(tarTo).removeRecursively();
    QDir(oursTo).removeRecursively();
    return true;
}

// The median of each figure over the rounds.
Timed medianOf(const QList<Timed> &runs)
{
    QList<double> seconds, cpu, server;
    for (const Timed &run : runs) {
        seconds << run.seconds;
        cpu << run.cpu;
        server << run.serverCpu;
    }
    Timed result;
    result.seconds = BenchStatistics::median(seconds);
    result.cpu = BenchStatistics::median(cpu);
    result.serverCpu = BenchStatistics::median(server);
    return result;
}

void print(const char *what, const QList<Pair> &pairs, double goal)
{
    QList<Timed> ours, tar;
    for (const Pair &pair : pairs) {
        ours << pair.ours;
        tar << pair.tar;
    }
    const Timed a = medianOf(ours), b = medianOf(tar);
    const double ratio = a.seconds / b.seconds;
    std::printf("%-22s quorvane %6.2f s (cpu %5.2f + server %5.2f s)   tar+curl %6.2f s (cpu "
                "%5.2f + server %5.2f s)   ratio %5.2fx (goal <= %.1fx) %s\n",
                what, a.seconds, a.cpu, a.serverCpu, b.seconds, b.cpu, b.serverCpu, ratio, goal,
                ratio <= goal ? "met" : "MISSED");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    int files = 10000;
    qint64 big = qint64(1) << 30;
    int rounds = 3;
    const QStringList args = application.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--files"))
            files = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--big"))
            big = args[i + 1].toLongLong();
        else if (args[i] == QLatin1String("--rounds"))
            rounds = args[i + 1].toInt();
    }
    if (files <= 0 || big <= 0 || rounds <= 0)
        return fail(QStringLiteral("--files, --big and --rounds take positive numbers"));
    if (qEnvironmentVariableIsEmpty("KEYCRATE_BIN_DIR"))
        qputenv("KEYCRATE_BIN_DIR", QFile::encodeName(application.applicationDirPath()));
    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/keycrate-bench-snapshot-XXXXXX"));
    if (!work.isValid())
        return fail(QStringLiteral("cannot make a working folder"));
    // To look at what a failed run left.
    work.setAutoRemove(qEnvironmentVariableIsEmpty("BENCH_KEEP"));
    // quorvane's settings and store stay in the private home.
    for (const char *folder : { "config", "data", "cache" })
        QDir(work.path()).mkpath(QString::fromLatin1(folder));
    qputenv("HOME", QFile::encodeName(work.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(work.filePath("config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(work.filePath("data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(work.filePath("cache")));

    QFile load(QStringLiteral("/proc/loadavg"));
    const QByteArray loadNow = load.open(QIODevice::ReadOnly) ? load.readAll().trimmed() : "?";
    std::printf("%d small files, big file %.0f MiB, load %s\n", files, double(big) / (1024 * 1024),
                loadNow.constData());

    const QString small = work.filePath(QStringLiteral("source/notes"));
    const QString large = work.filePath(QStringLiteral("source/large"));
    qint64 smallBytes = 0;
    if (!makeSmallTree(small, files, &smallBytes))
        return fail(QStringLiteral("cannot write the small files"));
    if (!makeBigFile(large + QStringLiteral("/payload.bin"), big))
        return fail(QStringLiteral("cannot write the big file"));
    std::printf("small files: %.1f MiB; rounds: %d, the clients' order alternating\n",
                double(smallBytes) / (1024 * 1024), rounds);
    std::fflush(stdout);

    Bench bench(work.path());
    QList<Pair> backupSmall, restoreSmall, backupBig, restoreBig;
    QList<Timed> unchanged;
    for (int round = 0; round < rounds; ++round) {
        const QString data = work.filePath(QStringLiteral("server-%1").arg(round));
        {
            ReferenceServer server(data);
            if (!server.start())
                return fail(server.failure());
            serverPid = server.process().pid();
            if (!quorvane({ "config", "server_url", server.url() }).ok
                || (round == 0
                    && (!quorvane({ "config", "user", ReferenceServer::User }).ok
                        || !quorvane({ "config", "--password-stdin" },
                                     QByteArray(ReferenceServer::Password) + "\n")
                                .ok)))
                return 1;
            bench.setServer(&server);
            const bool tarFirst = round % 2 == 0;
            Pair backup, restore;
            if (!bench.measure(small, tarFirst, &backup, &restore))
                return 1;
            backupSmall << backup;
            restoreSmall << restore;
            const Timed again = quorvane({ "--quiet", "backup", small });
            if (!again.ok || !again.out.contains("\nsent 0, unchanged"))
                return fail(QStringLiteral("the second backup: ") + QString::fromUtf8(again.out));
            unchanged << again;
            if (!bench.measure(large, tarFirst, &backup, &restore))
                return 1;
            backupBig << backup;
            restoreBig << restore;
            std::printf("round %d: backup %.2f/%.2f s, restore %.2f/%.2f s, unchanged %.2f s; "
                        "big: backup %.2f/%.2f s, restore %.2f/%.2f s (quorvane/tar+curl)\n",
                        round + 1, backupSmall.last().ours.seconds, backupSmall.last().tar.seconds,
                        restoreSmall.last().ours.seconds, restoreSmall.last().tar.seconds,
                        again.seconds, backup.ours.seconds, backup.tar.seconds,
                        restore.ours.seconds, restore.tar.seconds);
            std::fflush(stdout);
        }
        QDir(data).removeRecursively();
    }

    std::printf("medians of the rounds (%d):\n", rounds);
    print("backup, small files", backupSmall, 3.0);
    print("restore, small files", restoreSmall, 3.0);
    const Timed again = medianOf(unchanged);
    std::printf("%-22s quorvane %6.2f s (cpu %5.2f + server %5.2f s)   goal < 2 s %s\n",
                "unchanged 2nd backup", again.seconds, again.cpu, again.serverCpu,
                again.seconds < 2 ? "met" : "MISSED");
    print("backup, one big file", backupBig, 1.2);
    print("restore, one big file", restoreBig, 1.2);
    return 0;
}
