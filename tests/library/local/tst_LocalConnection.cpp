#include "DesktopOpener.h"
#include "FileSizeLimit.h"
#include "LocalConnection.h"
#include "LocalLayout.h"
#include "SettingsStore.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <ctime>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Quorvane;

namespace {

QByteArray readAll(const QString &fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &fileName, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(fileName).path());
    QFile file(fileName);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Every entry below a folder with its bytes: "nothing changed" means equal trees.
QMap<QString, QByteArray> tree(const QString &root)
{
    QMap<QString, QByteArray> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries.insert(QDir(root).relativeFilePath(path),
                       it.fileInfo().isDir() ? QByteArray("<dir>") : readAll(path));
    }
    return entries;
}

qint64 noonOf(int daysAgo)
{
    return QDateTime(QDate::currentDate().addDays(-daysAgo), QTime(12, 0)).toSecsSinceEpoch();
}

void setTimeZone(const QByteArray &zone)
{
    if (zone.isNull())
        qunsetenv("TZ");
    else
        qputenv("TZ", zone);
    tzset();
}

// Tests may run as root, who reads any file: while this lives, permission bits
// bind the process as they bind every other user.
class OwnerPermissionsOnly
{
public:
    OwnerPermissionsOnly()
    {
        syscall(SYS_capget, &m_header, m_saved);
        __user_cap_data_struct reduced[2] = { m_saved[0], m_saved[1] };
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        syscall(SYS_capset, &m_header, reduced);
    }
    ~OwnerPermissionsOnly() { syscall(SYS_capset, &m_header, m_saved); }

private:
    __user_cap_header_struct m_header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct m_saved[2] {};
};

} // namespace

class LocalConnectionTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void readsTheDayWindow_data();
    void readsTheDayWindow();
    void readsAcrossYearsAndMonthsWithoutFolders();
    void searchesNameAndDescription_data();
    void searchesNameAndDescription();
    void filesByLocalDate_data();
    void filesByLocalDate();
    void keepsFieldBytes();
    void refusesASecondSave();
    void savesServerOnlyEvents();
    void savesAddedTextAndFetchedEvents();
    void removePrunesEmptyFolders();
    void updateRewritesFields();
    void refusesTraversal_data();
    void refusesTraversal();
    void opensWithTheDesktop();
    void reportsUnreadableFiles();
    void followsTheSettingsAndStopsOnLinks();
    void refusesAFolderOthersCanChange();
    void killedOrFullSavesLeaveWholeEventsOnly();

private:
    EventElement makeEvent(const QByteArray &id, qint64 recordTime, int location = 0, int kind = 3);
    QString folderOf(const EventElement &event) const
    {
        return LocalLayout::eventFolder(m_data, event.getRecordTime(), event.getId());
    }
    // Where a download waits for its event to be saved.
    QString held(const QByteArray &id) const { return LocalLayout::holdingFile(m_data, id); }
    EventMap read(int dayCount, int startTime, int *result = nullptr);
    int save(EventElement event) { return m_local.saveEvent(event); }

    QTemporaryDir *m_root = nullptr;
    QString m_data;
    QString m_source;
    LocalConnection m_local;
};

void LocalConnectionTest::init()
{
    m_root = new QTemporaryDir;
    QVERIFY(m_root->isValid());
    m_data = m_root->filePath(QStringLiteral("store/data"));
    QVERIFY(QDir().mkpath(m_data));
    m_source = m_root->filePath(QStringLiteral("Report.pdf"));
    writeFile(m_source, "%PDF");
    SettingsStore settings;
    settings.writeDataPath(m_data.toUtf8());
    settings.writeInt(QStringLiteral("refresh_days"), 0);
    m_local.searchFields.clear();
    m_local.searchText.clear();
}

void LocalConnectionTest::cleanup()
{
    Platform::DesktopOpener::setHandler({});
    setTimeZone(QByteArray());
    delete m_root;
    m_root = nullptr;
}

EventElement LocalConnectionTest::makeEvent(const QByteArray &id, qint64 recordTime, int location,
                                            int kind)
{
    EventElement event;
    event.setId(id);
    event.setRecordTime(QByteArray::number(recordTime));
    event.setRecordChanged(QByteArray::number(recordTime + 5));
    event.setName("File [" + id + "]");
    event.setDescription("Uploaded by KEYCRATE");
    event.setType("application/pdf");
    event.setPath(m_source.toUtf8());
    event.location = location;
    event.kind = kind;
    return event;
}

EventMap LocalConnectionTest::read(int dayCount, int startTime, int *result)
{
    EventMap out;
    const int code = m_local.readEvents(out, true, dayCount, startTime);
    if (result)
        *result = code;
    return out;
}

void LocalConnectionTest::readsTheDayWindow_data()
{
    QTest::addColumn<int>("refreshDays");
    QTest::addColumn<int>("dayCount");
    QTest::addColumn<int>("startDaysAgo"); // -1: startTime -1 (today)
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("today only") << 0 << 5 << -1 << QByteArrayList { "day0" };
    QTest::newRow("seven folders")
        << 6 << 0 << -1
        << QByteArrayList { "day0", "day1", "day2", "day3", "day4", "day5", "day6" };
    QTest::newRow("refresh_days below -1") << -4 << 3 << -1 << QByteArrayList {};
    QTest::newRow("from a start day") << 6 << 2 << 3 << QByteArrayList { "day3", "day4", "day5" };
    QTest::newRow("dayCount -1") << 6 << -1 << 3 << QByteArrayList {};
    QTest::newRow("dayCount below -1") << 6 << -7 << 3 << QByteArrayList {};
    // No event predates 1970, so a vast count ends there instead of walking on.
    QTest::newRow("huge dayCount") << 0 << std::numeric_limits<int>::max() << 0
                                   << QByteArrayList { "day0", "day1", "day2", "day3", "day4",
                                                       "day5", "day6", "day7", "day8" };
}

void LocalConnectionTest::readsTheDayWindow()
{
    QFETCH(int, refreshDays);
    QFETCH(int, dayCount);
    QFETCH(int, startDaysAgo);
    QFETCH(QByteArrayList, expected);

    for (int day = 0; day < 9; ++day)
        QCOMPARE(save(makeEvent("day" + QByteArray::number(day), noonOf(day))), 0);
    SettingsStore().writeInt(QStringLiteral("refresh_days"), refreshDays);

    int result = -1;
    const EventMap out = read(dayCount, startDaysAgo < 0 ? -1 : int(noonOf(startDaysAgo)), &result);
    QCOMPARE(result, 0);
    QCOMPARE(out.keys(), expected);
}

// Years and months that hold nothing are passed over whole: the days on
// either side of each gap are still read, and a window ends on its day.
void LocalConnectionTest::readsAcrossYearsAndMonthsWithoutFolders()
{
    const auto noon = [](int year, int month, int day) {
        return QDateTime(QDate(year, month, day), QTime(12, 0)).toSecsSinceEpoch();
    };
    const QList<QDate> days { { 1970, 1, 1 },  { 1999, 12, 31 }, { 2000, 1, 1 },
                              { 2000, 1, 31 }, { 2000, 3, 1 },   { 2000, 3, 31 } };
    for (const QDate &day : days)
        QCOMPARE(save(makeEvent(day.toString("yyyyMMdd").toUtf8(),
                                noon(day.year(), day.month(), day.day()))),
                 0);

    QCOMPARE(read(std::numeric_limits<int>::max(), int(noon(2000, 3, 31))).keys(),
             (QByteArrayList { "19700101", "19991231", "20000101", "20000131", "20000301",
                               "20000331" }));
    // From the first of March over an empty February to the first of January.
    QCOMPARE(read(60, int(noon(2000, 3, 1))).keys(),
             (QByteArrayList { "20000101", "20000131", "20000301" }));
    QCOMPARE(read(59, int(noon(2000, 3, 1))).keys(), (QByteArrayList { "20000131", "20000301" }));
}

void LocalConnectionTest::searchesNameAndDescription_data()
{
    QTest::addColumn<QByteArray>("fields");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArrayList>("expected");

    QTest::newRow("name only") << QByteArray("name") << QByteArray("Tax")
                               << QByteArrayList { "annual" };
    QTest::newRow("description only")
        << QByteArray("description") << QByteArray("TAX") << QByteArrayList { "receipts" };
    QTest::newRow("both") << QByteArray("name,description") << QByteArray("tax")
                          << QByteArrayList { "annual", "receipts" };
    QTest::newRow("no fields: everything") << QByteArray() << QByteArray("nothing like it")
                                           << QByteArrayList { "annual", "latin", "receipts" };
    QTest::newRow("empty text matches")
        << QByteArray("name") << QByteArray() << QByteArrayList { "annual", "latin", "receipts" };
    QTest::newRow("neither field") << QByteArray("title") << QByteArray() << QByteArrayList {};
    // Latin-1 capitals lower too (0xC9 -> 0xE9), not only ASCII.
    QTest::newRow("latin-1 lowering")
        << QByteArray("name") << QByteArray("\xE9") + "cole" << QByteArrayList { "latin" };
}

void LocalConnectionTest::searchesNameAndDescription()
{
    QFETCH(QByteArray, fields);
    QFETCH(QByteArray, text);
    QFETCH(QByteArrayList, expected);

    EventElement annual = makeEvent("annual", noonOf(0));
    annual.setName("Annual TAX return");
    EventElement receipts = makeEvent("receipts", noonOf(0));
    receipts.setName("Receipts");
    receipts.setDescription("Tax receipts of the year");
    EventElement latin = makeEvent("latin", noonOf(0));
    latin.setName(QByteArray("\xC9") + "COLE");
    for (EventElement *event : { &annual, &receipts, &latin })
        QCOMPARE(m_local.saveEvent(*event), 0);

    m_local.searchFields = fields;
    m_local.searchText = text;
    QCOMPARE(read(0, -1).keys(), expected);
}

void LocalConnectionTest::filesByLocalDate_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<qint64>("recordTime");
    QTest::addColumn<QString>("folder");

    QTest::newRow("epoch west") << QByteArray("EST5") << qint64(0) << "1969/12/31";
    QTest::newRow("epoch east") << QByteArray("JST-9") << qint64(0) << "1970/01/01";
    // 2023-11-14 22:13:20 UTC
    QTest::newRow("late west") << QByteArray("EST5") << qint64(1700000000) << "2023/11/14";
    QTest::newRow("late east") << QByteArray("JST-9") << qint64(1700000000) << "2023/11/15";
}

void LocalConnectionTest::filesByLocalDate()
{
    QFETCH(QByteArray, zone);
    QFETCH(qint64, recordTime);
    QFETCH(QString, folder);

    setTimeZone(zone);
    QCOMPARE(save(makeEvent("dated", recordTime)), 0);
    QVERIFY(QFileInfo(m_data + "/" + folder + "/dated/id.txt").isFile());
    QCOMPARE(read(0, int(recordTime)).keys(), QByteArrayList { "dated" });

    // A record time that is no number files under the epoch.
    EventElement noNumber = makeEvent("garbled", 0);
    noNumber.setRecordTime("12ab");
    QCOMPARE(m_local.saveEvent(noNumber), 0);
    QVERIFY(QFileInfo(m_data + "/" + LocalLayout::localDate(0).toString("yyyy/MM/dd") + "/garbled")
                .isDir());
}

void LocalConnectionTest::keepsFieldBytes()
{
    EventElement event = makeEvent("bytes", noonOf(0));
    const QByteArray description(
        "Line one\nline two\r\nT\xC3\xA4gliche \xE2\x82\xAC, raw \xFF\x01\n\n");
    event.setDescription(description);
    event.setContent("");
    event.setName("  padded\t");
    QCOMPARE(m_local.saveEvent(event), 0);
    QCOMPARE(readAll(folderOf(event) + "/description.txt"), description);

    // A stored copy and the generated file sit in event folders but are no fields.
    writeFile(folderOf(event) + "/notes.txt", "not a field");
    writeFile(folderOf(event) + "/generated_file_name.fake_extension.txt", "not a field");

    const EventMap out = read(0, -1);
    QCOMPARE(out.size(), 1);
    const EventElement back = out.value("bytes");
    QCOMPARE(back.getDescription(), description);
    QCOMPARE(back.getName(), event.getName());
    QCOMPARE(back.getContent(), QByteArray());
    QCOMPARE(back.getPath(), event.getPath());
    QCOMPARE(back.getType(), event.getType());
    QCOMPARE(back.getRecordTime(), event.getRecordTime());
    QCOMPARE(back.getRecordChanged(), event.getRecordChanged());
    QCOMPARE(back.location, 3);
    QCOMPARE(back.kind, 3);

    // Without a non-empty id.txt a folder is no event.
    writeFile(folderOf(event) + "/id.txt", "");
    QVERIFY(read(0, -1).isEmpty());
}

void LocalConnectionTest::refusesASecondSave()
{
    EventElement event = makeEvent("twice", noonOf(0));
    QCOMPARE(m_local.saveEvent(event), 0);
    const QMap<QString, QByteArray> before = tree(folderOf(event));
    QCOMPARE(before.size(), 8);

    writeFile(held("twice"), "held"); // a holding file from a download
    event.setName("Other name");
    QCOMPARE(m_local.saveEvent(event), 99);
    QCOMPARE(tree(folderOf(event)), before);
    QVERIFY(!QFileInfo::exists(held("twice")));

    // A local event needs an existing file.
    EventElement missing = makeEvent("missing", noonOf(0));
    missing.setPath(m_root->filePath("gone.pdf").toUtf8());
    QCOMPARE(m_local.saveEvent(missing), 99);
    QVERIFY(!QFileInfo::exists(folderOf(missing)));
}

void LocalConnectionTest::savesServerOnlyEvents()
{
    // A downloaded file moves in under the last name of its path.
    EventElement file = makeEvent("file", noonOf(0), 1, 3);
    file.setPath("C:/Users/ann/Report.pdf");
    QCOMPARE(m_local.saveEvent(file), 99); // nothing downloaded yet
    QVERIFY(!QFileInfo::exists(folderOf(file)));
    writeFile(held("file"), "%PDF downloaded");
    QCOMPARE(m_local.saveEvent(file), 0);
    QVERIFY(!QFileInfo::exists(held("file")));
    QCOMPARE(readAll(folderOf(file) + "/Report.pdf"), QByteArray("%PDF downloaded"));
    QCOMPARE(readAll(folderOf(file) + "/path.txt"), QByteArray("C:/Users/ann/Report.pdf"));

    // A fetched event records where its copy lies.
    EventElement fetched = makeEvent("fetched", noonOf(0), 1, 0);
    fetched.setPath("https://example.org/a/page.html");
    writeFile(held("fetched"), "<html>");
    QCOMPARE(m_local.saveEvent(fetched), 0);
    QCOMPARE(readAll(folderOf(fetched) + "/path.txt"), (folderOf(fetched) + "/page.html").toUtf8());
    QCOMPARE(readAll(folderOf(fetched) + "/page.html"), QByteArray("<html>"));

    // A text event gets its description as the generated file; the holding file stays.
    EventElement text = makeEvent("text", noonOf(0), 1, 1);
    text.setDescription("Remember the milk");
    writeFile(held("text"), "");
    QCOMPARE(m_local.saveEvent(text), 0);
    QCOMPARE(readAll(folderOf(text) + "/generated_file_name.fake_extension.txt"),
             QByteArray("Remember the milk"));
    QVERIFY(QFileInfo::exists(held("text")));

    // A copy named like a field file never overwrites that field; the failed
    // save keeps neither the folder nor the download.
    EventElement clash = makeEvent("clash", noonOf(0), 1, 3);
    clash.setPath("docs/name.txt");
    writeFile(held("clash"), "intruder");
    QCOMPARE(m_local.saveEvent(clash), 99);
    QVERIFY(!QFileInfo::exists(folderOf(clash)));
    QVERIFY(!QFileInfo::exists(held("clash")));

    // A link or a FIFO in a holding file's place is never taken in as the copy.
    const QString outside = m_root->filePath("outside.pdf");
    writeFile(outside, "not the download");
    for (const char *id : { "linked", "piped" }) {
        EventElement planted = makeEvent(id, noonOf(0), 1, 3);
        planted.setPath("Report.pdf");
        QDir().mkpath(QFileInfo(held(id)).path());
        const QByteArray name = QFile::encodeName(held(id));
        QCOMPARE(qstrcmp(id, "linked") == 0 ? ::symlink(QFile::encodeName(outside), name)
                                            : ::mkfifo(name, 0600),
                 0);
        QCOMPARE(m_local.saveEvent(planted), 99);
        QVERIFY(!QFileInfo::exists(folderOf(planted)));
    }
    QCOMPARE(readAll(outside), QByteArray("not the download"));
}

void LocalConnectionTest::savesAddedTextAndFetchedEvents()
{
    // A text event needs no file: its description becomes the generated file.
    EventElement text = makeEvent("added-text", noonOf(0), 3, 1);
    text.setPath("");
    text.setDescription("Line one\nLine two\n");
    const mode_t savedMask = ::umask(0);
    QCOMPARE(m_local.saveEvent(text), 0);
    ::umask(savedMask);
    // Owner-only whatever the umask: every folder made and every file.
    for (QString folder = folderOf(text); folder != m_data; folder = QFileInfo(folder).path())
        QCOMPARE(QFileInfo(folder).permissions(), QFileDevice::Permissions(0x7700));
    for (const QFileInfo &file : QDir(folderOf(text)).entryInfoList(QDir::Files))
        QCOMPARE(file.permissions(), QFileDevice::Permissions(0x6600));
    QCOMPARE(readAll(folderOf(text) + "/generated_file_name.fake_extension.txt"),
             QByteArray("Line one\nLine two\n"));
    QCOMPARE(readAll(folderOf(text) + "/path.txt"), QByteArray());

    // A fetched event takes its holding file in, named after its path...
    EventElement named = makeEvent("fetched-named", noonOf(0), 3, 0);
    named.setPath("Minutes.pdf");
    named.setContent("http://127.0.0.1:8080/files/x.pdf?v=2");
    writeFile(held("fetched-named"), "%PDF fetched");
    QCOMPARE(m_local.saveEvent(named), 0);
    const QByteArray storedNamed = (folderOf(named) + "/Minutes.pdf").toUtf8();
    QCOMPARE(readAll(QString::fromUtf8(storedNamed)), QByteArray("%PDF fetched"));
    QCOMPARE(readAll(folderOf(named) + "/path.txt"), storedNamed);
    QCOMPARE(named.getPath(), storedNamed);
    QVERIFY(!QFileInfo::exists(held("fetched-named")));

    // ...or after its address when the path has no usable name...
    EventElement fromAddress = makeEvent("fetched-address", noonOf(0), 3, 0);
    fromAddress.setPath("");
    fromAddress.setContent("http://127.0.0.1:8080/files/Annual%20Report.pdf?v=2");
    writeFile(held("fetched-address"), "report");
    QCOMPARE(m_local.saveEvent(fromAddress), 0);
    QCOMPARE(readAll(folderOf(fromAddress) + "/Annual Report.pdf"), QByteArray("report"));

    // ...or "download"; a name that could leave the folder is never taken.
    EventElement unnamed = makeEvent("fetched-unnamed", noonOf(0), 3, 0);
    unnamed.setPath("");
    unnamed.setContent("http://127.0.0.1:8080/a/..%2F..%2Fescape");
    writeFile(held("fetched-unnamed"), "plain");
    QCOMPARE(m_local.saveEvent(unnamed), 0);
    QCOMPARE(readAll(folderOf(unnamed) + "/download"), QByteArray("plain"));
    QCOMPARE(unnamed.getPath(), (folderOf(unnamed) + "/download").toUtf8());

    EventElement badPath = makeEvent("fetched-bad-path", noonOf(0), 3, 0);
    badPath.setPath("docs/..");
    writeFile(held("fetched-bad-path"), "plain");
    QCOMPARE(m_local.saveEvent(badPath), 99);
    QVERIFY(!QFileInfo::exists(folderOf(badPath)));
    QVERIFY(!QFileInfo::exists(held("fetched-bad-path")));

    // Without a fetched file a fetched event still needs a file of its own.
    EventElement nothing = makeEvent("fetched-nothing", noonOf(0), 3, 0);
    nothing.setPath("");
    QCOMPARE(m_local.saveEvent(nothing), 99);
    QVERIFY(!QFileInfo::exists(folderOf(nothing)));
}

void LocalConnectionTest::removePrunesEmptyFolders()
{
    const qint64 may3 = QDateTime(QDate(2021, 5, 3), QTime(12, 0)).toSecsSinceEpoch();
    const qint64 may9 = QDateTime(QDate(2021, 5, 9), QTime(12, 0)).toSecsSinceEpoch();
    EventElement first = makeEvent("first", may3, 1, 3);
    first.setPath("/elsewhere/copy.bin");
    writeFile(held("first"), "copy");
    EventElement second = makeEvent("second", may9);
    QCOMPARE(m_local.saveEvent(first), 0);
    QCOMPARE(m_local.saveEvent(second), 0);
    writeFile(m_data + "/2021/05/09/second/keep.dat", "not ours");

    QCOMPARE(m_local.removeEvent(first), 0);
    QVERIFY(!QFileInfo::exists(m_data + "/2021/05/03"));
    QVERIFY(QFileInfo(m_data + "/2021/05").isDir());

    // Something that is not ours stays, and so does the folder.
    QCOMPARE(m_local.removeEvent(second), 99);
    QCOMPARE(tree(m_data + "/2021/05/09/second").keys(), QStringList { "keep.dat" });
    QFile::remove(m_data + "/2021/05/09/second/keep.dat");
    QCOMPARE(m_local.removeEvent(second), 0);
    QVERIFY(!QFileInfo::exists(m_data + "/2021"));
    QVERIFY(QFileInfo(m_data).isDir());
    QCOMPARE(m_local.removeEvent(second), 99);
    QVERIFY(QFileInfo(m_data).isDir());
}

void LocalConnectionTest::updateRewritesFields()
{
    EventElement event = makeEvent("update", noonOf(0), 1, 3);
    event.setPath("Report.pdf");
    writeFile(held("update"), "old copy");
    QCOMPARE(m_local.saveEvent(event), 0);
    QVERIFY(QFileInfo::exists(folderOf(event) + "/Report.pdf"));

    EventElement changed = event;
    changed.setPath("/home/ann/New.pdf");
    changed.setName("Renamed");
    changed.setDescription("");
    changed.setId("update");
    QCOMPARE(m_local.updateEvent(changed), 0);
    QVERIFY(!QFileInfo::exists(folderOf(event) + "/Report.pdf"));
    QCOMPARE(readAll(folderOf(event) + "/path.txt"), QByteArray("/home/ann/New.pdf"));
    QCOMPARE(readAll(folderOf(event) + "/name.txt"), QByteArray("Renamed"));
    QCOMPARE(readAll(folderOf(event) + "/description.txt"), QByteArray());
    QCOMPARE(tree(folderOf(event)).size(), 8);

    // A bare old path that names a field file is no stored copy: the id survives.
    writeFile(folderOf(event) + "/path.txt", "id.txt");
    QCOMPARE(m_local.updateEvent(changed), 0);
    QCOMPARE(read(0, -1).keys(), QByteArrayList { "update" });

    // The folder is found by the given record time only.
    changed.setRecordTime(QByteArray::number(noonOf(2)));
    QCOMPARE(m_local.updateEvent(changed), 99);
}

void LocalConnectionTest::refusesTraversal_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("holding file escapes") << QByteArray("../../victim") << QByteArray("a.pdf");
    QTest::newRow("event folder escapes")
        << QByteArray("../../../../../../victim") << QByteArray("a.pdf");
    QTest::newRow("dot dot") << QByteArray("..") << QByteArray("a.pdf");
    QTest::newRow("dot") << QByteArray(".") << QByteArray("a.pdf");
    QTest::newRow("empty") << QByteArray("") << QByteArray("a.pdf");
    QTest::newRow("slash") << QByteArray("a/b") << QByteArray("a.pdf");
    QTest::newRow("backslash") << QByteArray("..\\..\\victim") << QByteArray("a.pdf");
    QTest::newRow("zero byte") << QByteArray("ok\0/../../victim", 16) << QByteArray("a.pdf");
    // Read as UTF-8, each would name another id's folder and holding file.
    QTest::newRow("no UTF-8") << QByteArray("fine\xff") << QByteArray("a.pdf");
    QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf"
                                                   "fine")
                                     << QByteArray("a.pdf");
    QTest::newRow("copy named ..") << QByteArray("fine") << QByteArray("/x/..");
    QTest::newRow("copy named .") << QByteArray("fine") << QByteArray("x/.");
    QTest::newRow("copy without name") << QByteArray("fine") << QByteArray("x/");
}

void LocalConnectionTest::refusesTraversal()
{
    QFETCH(QByteArray, id);
    QFETCH(QByteArray, path);

    // Victims where an escaping id would reach, and a holding file for a safe one.
    writeFile(m_root->filePath("victim"), "victim");
    writeFile(m_root->filePath("store/victim"), "victim");
    writeFile(held("fine"), "held");
    const QMap<QString, QByteArray> before = tree(m_root->path());

    for (int kind : { 3, 0 }) {
        EventElement event = makeEvent(id, noonOf(0), 1, kind);
        event.setPath(path);
        QCOMPARE(m_local.saveEvent(event), 99);
        if (id == "fine") {
            // The copy has no name: nothing of the event is kept.
            QVERIFY(!QFileInfo::exists(folderOf(event)));
            writeFile(held("fine"), "held");
        } else {
            QCOMPARE(m_local.removeEvent(event), 99);
            QCOMPARE(m_local.updateEvent(event), 99);
            EventElement local = makeEvent(id, noonOf(0), 0, kind);
            QCOMPARE(m_local.saveEvent(local), 99);
        }
        QCOMPARE(tree(m_root->path()), before);
    }
}

void LocalConnectionTest::opensWithTheDesktop()
{
    QStringList opened;
    bool accept = true;
    Platform::DesktopOpener::setHandler([&](const QString &path) {
        opened << path;
        return accept;
    });

    EventElement event = makeEvent("open", noonOf(0));
    QCOMPARE(m_local.openEvent(event), 0); // a path with "/" as it is
    event.setPath("Report.pdf");
    QCOMPARE(m_local.openEvent(event), 0); // no event folder: the data folder
    QCOMPARE(save(makeEvent("open", noonOf(0))), 0);
    QCOMPARE(m_local.openEvent(event), 0); // the stored copy's place
    event.setId("../..");
    QCOMPARE(m_local.openEvent(event), 0); // a refused id never leads out
    QCOMPARE(opened,
             QStringList({ m_source, m_data + "/Report.pdf",
                           folderOf(makeEvent("open", noonOf(0))) + "/Report.pdf",
                           m_data + "/Report.pdf" }));

    event.setPath("..");
    QCOMPARE(m_local.openEvent(event), 99);
    QCOMPARE(opened.size(), 4);
    accept = false;
    event.setPath(m_source.toUtf8());
    QCOMPARE(m_local.openEvent(event), 99);
}

void LocalConnectionTest::reportsUnreadableFiles()
{
    QCOMPARE(save(makeEvent("good", noonOf(0))), 0);
    EventElement bad = makeEvent("bad", noonOf(0));
    QCOMPARE(m_local.saveEvent(bad), 0);
    const QString inEvent = folderOf(bad) + "/name.txt";
    const QString inDay = QFileInfo(folderOf(bad)).path() + "/stray.txt";
    writeFile(inDay, "");
    QVERIFY(QFile::setPermissions(inEvent, {}));
    OwnerPermissionsOnly guard;

    // Inside an event folder only that event is lost...
    QTest::ignoreMessage(QtWarningMsg, qPrintable("Cannot open file \"" + inEvent + "\"."));
    int result = -1;
    QCOMPARE(read(0, -1, &result).keys(), QByteArrayList { "good" });
    QCOMPARE(result, 0);

    // ...in the day folder itself the read ends.
    QVERIFY(QFile::setPermissions(inDay, {}));
    QTest::ignoreMessage(QtWarningMsg, qPrintable("Cannot open file \"" + inDay + "\"."));
    read(0, -1, &result);
    QCOMPARE(result, 99);
}

void LocalConnectionTest::followsTheSettingsAndStopsOnLinks()
{
    EventElement event = makeEvent("linked", noonOf(0));
    QCOMPARE(m_local.saveEvent(event), 0);
    // A link back up the tree is followed once, not forever.
    QVERIFY(QFile::link(QFileInfo(folderOf(event)).path(), folderOf(event) + "/loop"));
    QVERIFY(QFile::link(m_data, folderOf(event) + "/top"));
    QCOMPARE(read(0, -1).keys(), QByteArrayList { "linked" });

    // A new data folder takes effect with the next call.
    const QString other = m_root->filePath("other");
    SettingsStore().writeDataPath(other.toUtf8());
    QVERIFY(read(0, -1).isEmpty());
    QCOMPARE(save(makeEvent("moved", noonOf(0))), 0);
    QVERIFY(QFileInfo::exists(LocalLayout::eventFolder(other, event.getRecordTime(), "moved")));

    // Without a data folder nothing is read or written, not even in the working folder.
    SettingsStore().writeDataPath(QByteArray());
    const QMap<QString, QByteArray> before = tree(QDir::currentPath());
    QVERIFY(read(0, -1).isEmpty());
    EventElement nowhere = makeEvent("nowhere", noonOf(0));
    QCOMPARE(m_local.saveEvent(nowhere), 99);
    QCOMPARE(m_local.updateEvent(nowhere), 99);
    QCOMPARE(m_local.removeEvent(nowhere), 99);
    QCOMPARE(tree(QDir::currentPath()), before);
}

// Others could swap events or plant links in such a folder: every call fails,
// a read too (not an empty success), and nothing in it is touched.
void LocalConnectionTest::refusesAFolderOthersCanChange()
{
    EventElement event = makeEvent("kept", noonOf(0));
    QCOMPARE(save(event), 0);
    const QByteArray data = QFile::encodeName(m_data);
    const auto refused = [&] {
        const QMap<QString, QByteArray> before = tree(m_data);
        int result = 0;
        QVERIFY(read(0, -1, &result).isEmpty());
        QCOMPARE(result, 99);
        QCOMPARE(save(makeEvent("other", noonOf(0))), 99);
        QCOMPARE(m_local.removeEvent(event), 99);
        QCOMPARE(tree(m_data), before);
    };
    QCOMPARE(::chmod(data.constData(), 0777), 0);
    refused();
    QCOMPARE(::chmod(data.constData(), 0750), 0);
    QCOMPARE(read(0, -1).keys(), QByteArrayList { "kept" });
    if (::geteuid() != 0)
        QSKIP("another user's folder needs root to make; the mode's refusal was checked");
    QCOMPARE(::chown(data.constData(), 65534, 65534), 0);
    refused();
}

// Saves and removals killed at random moments, then a save on a full disk: the
// store lists only whole events, keeps no scraps, and a later run finishes.
void LocalConnectionTest::killedOrFullSavesLeaveWholeEventsOnly()
{
    const int count = 24;
    const auto eventAt = [this](int i) {
        EventElement event = makeEvent("killed-" + QByteArray::number(i), noonOf(0), 3, 1);
        event.setPath("");
        event.setDescription(QByteArray((i % 4) * 40000 + 1, char('a' + i)));
        return event;
    };
    // An update renames the event and changes its type together.
    const auto renamed = [&](int i) {
        EventElement event = eventAt(i);
        event.setName("Renamed " + QByteArray::number(i));
        event.setType("text/renamed");
        return event;
    };
    const auto checkStore = [&](bool complete) {
        const EventMap listed = read(0, -1);
        if (complete)
            QCOMPARE(listed.size(), count / 2);
        for (const EventElement &event : listed) {
            const int i = event.getId().mid(7).toInt();
            QVERIFY(!complete || (i % 2 == 1 && event.getName().startsWith("Renamed")));
            const EventElement sent
                = event.getName().startsWith("Renamed") ? renamed(i) : eventAt(i);
            QCOMPARE(event.getId(), sent.getId());
            QCOMPARE(event.getName(), sent.getName());
            QCOMPARE(event.getType(), sent.getType());
            QCOMPARE(event.getDescription(), sent.getDescription());
            QCOMPARE(event.getRecordTime(), sent.getRecordTime());
            QCOMPARE(readAll(LocalLayout::generatedFile(folderOf(sent))), sent.getDescription());
        }
    };

    const auto saveAndRemoveEvens = [&] {
        for (int i = 0; i < count; ++i)
            save(eventAt(i));
        for (int i = 0; i < count; i += 2) {
            EventElement event = eventAt(i);
            m_local.removeEvent(event);
            event = renamed(i + 1);
            m_local.updateEvent(event);
        }
    };

    QRandomGenerator random(20261208);
    for (int round = 0; round < 30; ++round) {
        const pid_t child = ::fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            saveAndRemoveEvens();
            ::_exit(0);
        }
        ::usleep(random.bounded(4000));
        ::kill(child, SIGKILL);
        QCOMPARE(::waitpid(child, nullptr, 0), child);
        checkStore(false);
        if (QTest::currentTestFailed())
            return;
    }
    // A download killed half-way left its file in the unfinished folder.
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    QCOMPARE(::waitpid(gone, nullptr, 0), gone);
    writeFile(LocalLayout::unfinishedFolder(m_data) + "/download-" + QString::number(gone) + "-0",
              "half");
    // The next run saves what the killed ones left undone, without repairs.
    saveAndRemoveEvens();
    checkStore(true);
    // Year, month and day folders, and nine files in each event folder: no scraps.
    QCOMPARE(tree(m_data).size(), 3 + count / 2 * 10);

    // A full disk fails the save, and leaves nothing of it behind.
    const QMap<QString, QByteArray> before = tree(m_data);
    {
        const FileSizeLimit diskFull(20000);
        EventElement big = eventAt(1);
        big.setId("full-disk");
        QCOMPARE(m_local.saveEvent(big), 99);
    }
    QCOMPARE(tree(m_data), before);
}

QTEST_GUILESS_MAIN(LocalConnectionTest)
#include "tst_LocalConnection.moc"
