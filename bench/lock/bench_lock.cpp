// Lock registry with 10,000 listed files: start-up restore, a toggle and the
// compaction at exit, each against a baseline measured in the same run.
//
//   restore     vs opening and closing the same files once
//   toggle      vs writing the list file once
//   compaction  vs writing the list file once
//
// Every sample is taken right next to a sample of its baseline and the ratio
// is the median of the paired ratios, so that a machine busy with other work
// slows both sides alike. The processor time of each side is shown beside it:
// the list is written with fdatasync, whose wait for the disk is no work of
// ours and varies with what else the machine writes.

#include "ApplicationFolder.h"
#include "BenchStatistics.h"
#include "LockRegistry.h"
#include "ResourceLimits.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace {

constexpr int FileCount = 10000;

struct Sample
{
    double elapsedMs = 0;
    double processorMs = 0;
};

double processorMs()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

Sample measure(const std::function<void()> &work)
{
    QElapsedTimer timer;
    const double processorBefore = processorMs();
    timer.start();
    work();
    return { timer.nsecsElapsed() / 1e6, processorMs() - processorBefore };
}

// Writes a list file the way the registry does: a new file renamed over the old.
void writeListOnce(const QString &path, const QByteArray &content)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)
        || file.write(content) != content.size() || !file.commit())
        qFatal("cannot write %s", qPrintable(path));
}

struct Pairs
{
    QList<double> baseline;
    QList<double> measured;
    QList<double> ratios;
    QList<double> baselineProcessor;
    QList<double> measuredProcessor;

    void add(const Sample &baselineSample, const Sample &measuredSample)
    {
        baseline.append(baselineSample.elapsedMs);
        measured.append(measuredSample.elapsedMs);
        ratios.append(measuredSample.elapsedMs / baselineSample.elapsedMs);
        baselineProcessor.append(baselineSample.processorMs);
        measuredProcessor.append(measuredSample.processorMs);
    }

    void print(const char *what, const char *baselineName, const char *goal) const
    {
        std::printf("  %-30s %8.2f ms   %-34s %8.2f ms   ratio %5.2f%s\n", what,
                    BenchStatistics::median(measured), baselineName,
                    BenchStatistics::median(baseline), BenchStatistics::median(ratios), goal);
        std::printf("  %-30s %8.2f ms   %-34s %8.2f ms\n", "  processor time",
                    BenchStatistics::median(measuredProcessor), "",
                    BenchStatistics::median(baselineProcessor));
    }
};

} // namespace

int main(int argc, char **argv)
{
    // The benchmark publishes its own list: keep it away from a running keycrate's.
    QTemporaryDir privateTemp;
    qputenv("TMPDIR", QFile::encodeName(privateTemp.path()));
    QCoreApplication application(argc, argv);
    const quint64 limit = Platform::ResourceLimits::raiseOpenFileLimit();
    if (limit < quint64(FileCount) + 64) {
        std::fprintf(stderr, "bench-lock: the open-file limit (%llu) is below %d files\n",
                     static_cast<unsigned long long>(limit), FileCount);
        return 1;
    }

    QTemporaryDir applicationFolderDir;
    QTemporaryDir filesDir;
    setApplicationFolder(applicationFolderDir.path());
    const QString listPath = LockListPath();
    const QString scratchList = filesDir.filePath(QStringLiteral("scratch-list"));
    QList<QByteArray> paths;
    QByteArray list;
    for (int index = 0; index < FileCount; ++index) {
        const QString path
            = filesDir.filePath(QStringLiteral("file-%1.txt").arg(index, 5, 10, QLatin1Char('0')));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("locked\n") != 7) {
            std::fprintf(stderr, "bench-lock: cannot create %s\n", qPrintable(path));
            return 1;
        }
        paths.append(QFile::encodeName(path));
        list += paths.last() + '\n';
    }
    const auto openAndCloseAll = [&] {
        for (const QByteArray &path : paths) {
            QFile file(QFile::decodeName(path));
            file.open(QIODevice::ReadOnly);
            file.close();
        }
    };

    Pairs restore;
    for (int round = 0; round < 7; ++round) {
        ForgetLocks();
        writeListOnce(listPath, list);
        const Sample baseline = measure(openAndCloseAll);
        restore.add(baseline, measure([] { ReloadLockedFiles(); }));
    }
    if (ReadLockStatuses().value(paths.last()) != StatusLocked)
        qFatal("the restore did not lock the files");

    // Each toggle reads, rewrites and republishes the whole list; unlocking
    // and locking again random files keeps 10,000 listed.
    Pairs toggle;
    QRandomGenerator random(14);
    for (int round = 0; round < 50; ++round) {
        const QByteArray &path = paths.at(random.bounded(FileCount));
        for (int step = 0; step < 2; ++step) {
            const Sample baseline = measure([&] { writeListOnce(scratchList, list); });
            int result = -1;
            toggle.add(baseline, measure([&] { result = ToggleLock(path); }));
            if (result != 0)
                qFatal("a toggle failed");
        }
    }

    // At exit the list holds duplicates from locks taken again after restarts.
    Pairs compaction;
    const QByteArray withDuplicates = list + list.left(list.size() / 2);
    for (int round = 0; round < 7; ++round) {
        writeListOnce(listPath, withDuplicates);
        const Sample baseline = measure([&] { writeListOnce(scratchList, list); });
        compaction.add(baseline, measure([] { CompactLockList(); }));
    }

    std::printf("lock registry with %d listed files (medians; ratio = median of paired ratios)\n",
                FileCount);
    restore.print("restore at start-up", "baseline: open and close every file", "  (goal <= 1.5)");
    toggle.print("toggle", "baseline: write the list once", "  (goal <= 1.5)");
    compaction.print("compaction (15,000 lines)", "baseline: write the list once", "");
    ForgetLocks();
    return 0;
}
