// Reads 10,000 events spread over 30 day folders with readEvents and compares
// the time with a plain loop that opens and reads the same field files; then
// saves events with saveEvent against a loop that makes each folder and
// writes its field files in place.
#include "LocalConnection.h"
#include "SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QUuid>
#include <algorithm>
#include <cstdio>
#include <functional>

using namespace Quorvane;

namespace {

constexpr int EventCount = 10000;
constexpr int DayCount = 30;
constexpr int Rounds = 7;
constexpr int SavesPerRound = 500;

// Runs the contenders in turns, so a change of load on the machine hits all of
// them alike, and keeps each one's best round.
QList<qint64> bestOfRounds(const QList<std::function<void()>> &contenders)
{
    QList<qint64> best(contenders.size(), std::numeric_limits<qint64>::max());
    for (int round = 0; round < Rounds; ++round) {
        for (qsizetype i = 0; i < contenders.size(); ++i) {
            QElapsedTimer timer;
            timer.start();
            contenders[i]();
            best[i] = std::min(best[i], timer.nsecsElapsed());
        }
    }
    return best;
}

} // namespace

int main()
{
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    // Keep the user's real settings out of it.
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, root.filePath("config"));
    const QString data = root.filePath("data");
    SettingsStore settings;
    settings.writeDataPath(data.toUtf8());
    settings.writeInt(QStringLiteral("refresh_days"), DayCount - 1);

    const QString source = root.filePath("Report.pdf");
    QFile sourceFile(source);
    if (!sourceFile.open(QIODevice::WriteOnly) || sourceFile.write("%PDF") != 4)
        return 1;
    sourceFile.close();

    LocalConnection local;
    const QDate today = QDate::currentDate();
    for (int i = 0; i < EventCount; ++i) {
        EventElement event;
        const qint64 time
            = QDateTime(today.addDays(-(i % DayCount)), QTime(12, 0)).toSecsSinceEpoch();
        event.setId(QUuid::createUuid().toByteArray(QUuid::WithoutBraces));
        event.setRecordTime(QByteArray::number(time));
        event.setRecordChanged(QByteArray::number(time));
        event.setName("File [Report " + QByteArray::number(i) + ".pdf]");
        event.setDescription("Uploaded by KEYCRATE");
        event.setType("application/pdf");
        event.setPath(source.toUtf8());
        event.location = 0;
        if (local.saveEvent(event) != 0) {
            std::fprintf(stderr, "could not save event %d\n", i);
            return 1;
        }
    }

    QStringList files;
    for (QDirIterator it(data, { QStringLiteral("*.txt") }, QDir::Files,
                         QDirIterator::Subdirectories);
         it.hasNext();)
        files << it.next();

    qint64 baselineBytes = 0;
    auto plainLoop = [&] {
        baselineBytes = 0;
        for (const QString &name : std::as_const(files)) {
            QFile file(name);
            if (file.open(QIODevice::ReadOnly))
                baselineBytes += file.readAll().size();
        }
    };
    qsizetype eventsRead = 0;
    auto readAll = [&] {
        EventMap out;
        local.searchFields.clear();
        local.searchText.clear();
        local.readEvents(out, true, 0, -1);
        eventsRead = out.size();
    };
    qsizetype found = 0;
    auto search = [&] {
        EventMap out;
        local.searchFields = "name";
        local.searchText = "REPORT 99";
        local.readEvents(out, true, 0, -1);
        found = out.size();
    };
    const QList<qint64> best = bestOfRounds({ plainLoop, readAll, search });
    const qint64 baseline = best[0], measured = best[1], searched = best[2];

    const auto textEvent = [&](const QByteArray &id) {
        EventElement event;
        event.setId(id);
        event.setRecordTime(QByteArray::number(QDateTime::currentSecsSinceEpoch()));
        event.setRecordChanged(event.getRecordTime());
        event.setName("Note " + id);
        event.setDescription("Some text of a note");
        event.kind = 1;
        return event;
    };
    int saveRound = 0;
    bool saved = true;
    auto plainSaves = [&] {
        const QString base = root.filePath(QStringLiteral("plain%1").arg(saveRound));
        for (int i = 0; i < SavesPerRound; ++i) {
            const EventElement event = textEvent(QByteArray::number(i));
            const QString folder = base + QLatin1Char('/') + QString::fromUtf8(event.getId());
            QDir().mkpath(folder);
            for (const char *name : { "id", "description", "path", "type", "name", "content",
                                      "recordChanged", "recordTime", "generated" }) {
                QFile file(folder + QLatin1Char('/') + QLatin1String(name) + ".txt");
                saved = file.open(QIODevice::WriteOnly | QIODevice::NewOnly)
                    && file.write(event.getDescription()) > 0 && saved;
            }
        }
    };
    auto storeSaves = [&] {
        for (int i = 0; i < SavesPerRound; ++i) {
            EventElement event
                = textEvent(QByteArray::number(saveRound) + "-" + QByteArray::number(i));
            saved = local.saveEvent(event) == 0 && saved;
        }
        ++saveRound;
    };
    const QList<qint64> bestSaves = bestOfRounds({ plainSaves, storeSaves });

    std::printf("local store: %d events over %d day folders, %lld field files (%lld bytes)\n",
                EventCount, DayCount, qlonglong(files.size()), qlonglong(baselineBytes));
    std::printf("baseline  open+read loop      %8.1f ms\n", baseline / 1e6);
    std::printf("readEvents (%lld events)    %8.1f ms   ratio %.2f\n", qlonglong(eventsRead),
                measured / 1e6, double(measured) / baseline);
    std::printf("readEvents search (%lld hits) %8.1f ms   ratio %.2f\n", qlonglong(found),
                searched / 1e6, double(searched) / baseline);
    std::printf("baseline  mkdir+write loop    %8.1f ms   (%d events)\n", bestSaves[0] / 1e6,
                SavesPerRound);
    std::printf("saveEvent                    %8.1f ms   ratio %.2f\n", bestSaves[1] / 1e6,
                double(bestSaves[1]) / bestSaves[0]);
    std::printf("goal: readEvents within 1.3x of the baseline\n");
    return eventsRead == EventCount && saved ? 0 : 1;
}
