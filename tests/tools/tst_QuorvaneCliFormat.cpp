#include "CommandLine.h"
#include "KnownIds.h"
#include "RecordFormat.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <algorithm>
#include <random>
#include <sstream>

// What the program prints and how it reads its command line, without the
// library: texts from a store or a server may hold anything.
class tst_QuorvaneCliFormat : public QObject
{
    Q_OBJECT

private slots:
    void jsonLinesStayValidWhateverTheTexts();
    void tableRowsFitTheTerminalAndCarryNoControls();
    void fieldsCarryNoControls();
    void commandLines_data();
    void commandLines();
    void knownIdsTakeOnlyTheNewEventsOfAList();
};

namespace {

EventRecord hostile()
{
    EventRecord record;
    record.id = "0123456789abcdef0123456789abcdef0123";
    record.name = "a \"q\" \\ line\nnext\x01\x1b]0;title\x07 \xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80 "
                  "bad\xFF\xC3 \xC2\x9B"
                  "2J end";
    record.description = std::string("nul\0inside", 10);
    record.path = "/tmp/x";
    record.recordTime = "1700000000";
    record.location = 2;
    return record;
}

} // namespace

void tst_QuorvaneCliFormat::jsonLinesStayValidWhateverTheTexts()
{
    std::ostringstream out;
    RecordFormat::json(out, hostile());
    const QByteArray line = QByteArray::fromStdString(out.str());
    QCOMPARE(line.count('\n'), 1);
    // The line itself holds no control character a terminal would act on.
    for (const QChar c : QString::fromUtf8(line.chopped(1)))
        QVERIFY(c.unicode() >= 0x20 && !(c.unicode() >= 0x7F && c.unicode() < 0xA0));
    QJsonParseError error;
    const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(object.value("name").toString(),
             QString::fromUtf8("a \"q\" \\ line\nnext\x01\x1b]0;title\x07 \xC3\xA4\xE2\x82\xAC"
                               "\xF0\x9F\x98\x80 bad\xEF\xBF\xBD\xEF\xBF\xBD \xC2\x9B"
                               "2J end"));
    QCOMPARE(object.value("description").toString(), QString::fromUtf8("nul\0inside", 10));
    QCOMPARE(object.value("where").toString(), QStringLiteral("both"));
    QCOMPARE(object.value("location").toInt(), 2);
}

void tst_QuorvaneCliFormat::tableRowsFitTheTerminalAndCarryNoControls()
{
    EventRecord longName = hostile();
    for (int i = 0; i < 40; ++i)
        longName.name += "\xC3\xA4";
    for (const int width : { 80, 120 }) {
        std::ostringstream out;
        RecordFormat::table(out, { hostile(), longName }, width);
        const QStringList lines = QString::fromUtf8(out.str()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 3);
        for (const QString &line : lines) {
            QVERIFY2(line.toUcs4().size() <= width, qPrintable(line));
            for (const QChar c : line)
                QVERIFY(c.unicode() >= 0x20 && !(c.unicode() >= 0x7F && c.unicode() < 0xA0));
        }
        QVERIFY(lines[2].endsWith("..."));
    }
    // Not a terminal: nothing is cut.
    std::ostringstream out;
    RecordFormat::table(out, { longName }, 0);
    QVERIFY(QString::fromUtf8(out.str()).contains(QString(40, QChar(0xE4))));
}

void tst_QuorvaneCliFormat::fieldsCarryNoControls()
{
    EventRecord record = hostile();
    record.description = "first\nsecond\x1b[2J\xC2\x9B";
    record.type = "text/\x1b]0;x\x07";
    std::ostringstream out;
    RecordFormat::fields(out, record);
    const QStringList lines = QString::fromUtf8(out.str()).split('\n', Qt::SkipEmptyParts);
    // One line a field; the description keeps its own line break only.
    QCOMPARE(lines.size(), 10);
    QVERIFY(lines[1].startsWith("name:"));
    QCOMPARE(lines[9], QStringLiteral("second?[2J?"));
    for (const QString &line : lines)
        for (const QChar c : line)
            QVERIFY2(c.unicode() >= 0x20 && !(c.unicode() >= 0x7F && c.unicode() < 0xA0),
                     qPrintable(line));
}

void tst_QuorvaneCliFormat::commandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("expected");

    QTest::newRow("options anywhere") << QStringList { "-q", "list", "--days=3", "--json" }
                                      << QString() << "list days=3 json quiet";
    QTest::newRow("value after --") << QStringList { "add-text", "--", "--title", "-x" }
                                    << QString() << "add-text args=--title,-x";
    QTest::newRow("negative number") << QStringList { "config", "refresh_days", "-1" } << QString()
                                     << "config args=refresh_days,-1";
    QTest::newRow("help of a command") << QStringList { "rm", "--help" } << QString() << "rm help";
    QTest::newRow("twice") << QStringList { "list", "--days", "1", "--days", "2" }
                           << "--days given twice" << QString();
    QTest::newRow("other command's option") << QStringList { "push", "--json", "x" }
                                            << "unknown option \"--json\" for push" << QString();
    QTest::newRow("no value") << QStringList { "list", "--search" } << "--search needs a value"
                              << QString();
    QTest::newRow("flag with value")
        << QStringList { "list", "--json=yes" } << "--json takes no value" << QString();
    QTest::newRow("missing argument") << QStringList { "open" } << "open: missing ID" << QString();
    QTest::newRow("too many") << QStringList { "show", "a", "b" } << "show: too many arguments"
                              << QString();
}

void tst_QuorvaneCliFormat::commandLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, error);
    QFETCH(QString, expected);
    std::vector<std::string> given;
    for (const QString &argument : arguments)
        given.push_back(argument.toStdString());
    CommandLine line;
    const bool parsed = line.parse(given);
    QCOMPARE(QString::fromStdString(line.error()), error);
    if (!parsed)
        return;
    QStringList seen { QString::fromUtf8(line.command()->name) };
    if (!line.arguments().empty()) {
        QStringList values;
        for (const std::string &argument : line.arguments())
            values << QString::fromStdString(argument);
        seen << "args=" + values.join(',');
    }
    for (const char *option : { "days", "json" })
        if (line.has(option))
            seen << (line.value(option).empty()
                         ? QString(option)
                         : QString(option) + "=" + QString::fromStdString(line.value(option)));
    if (line.quiet())
        seen << "quiet";
    if (line.help())
        seen << "help";
    QCOMPARE(seen.join(' '), expected);
}

// A list as the library hands it out after each add: every event so far,
// ordered by id. Each report yields exactly the events it had not shown.
void tst_QuorvaneCliFormat::knownIdsTakeOnlyTheNewEventsOfAList()
{
    std::mt19937 random(7);
    std::vector<std::string> ids;
    std::vector<Quorvane::EventNative> events;
    auto report = [&](KnownIds &known) {
        std::sort(ids.begin(), ids.end());
        events.assign(ids.size(), Quorvane::EventNative());
        std::vector<Quorvane::EventNative *> list;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            events[i].id = ids[i].c_str();
            list.push_back(&events[i]);
        }
        std::vector<EventRecord> fresh;
        known.takeNew(list.data(), int(list.size()), &fresh);
        std::vector<std::string> taken;
        for (const EventRecord &record : fresh)
            taken.push_back(record.id);
        return taken;
    };
    auto newId = [&] { return "id-" + std::to_string(random() % 1000000); };

    KnownIds known;
    for (int i = 0; i < 30; ++i)
        ids.push_back(newId());
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    QCOMPARE(report(known), ids);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::string> added;
        for (int i = 0; i < 1 + round % 3; ++i) {
            const std::string id = newId();
            if (std::find(ids.begin(), ids.end(), id) == ids.end()
                && std::find(added.begin(), added.end(), id) == added.end())
                added.push_back(id);
        }
        ids.insert(ids.end(), added.begin(), added.end());
        std::sort(added.begin(), added.end());
        QCOMPARE(report(known), added);
        QCOMPARE(known.size(), ids.size());
    }
    QCOMPARE(report(known), std::vector<std::string>());

    // A list read afresh that holds fewer events than were shown is looked
    // at whole.
    const std::string gone = ids[3];
    ids.erase(ids.begin() + 10);
    ids.erase(ids.begin() + 3);
    ids.push_back(gone + "x");
    QCOMPARE(report(known), std::vector<std::string> { gone + "x" });
}

QTEST_APPLESS_MAIN(tst_QuorvaneCliFormat)
#include "tst_QuorvaneCliFormat.moc"
