#include "EventXml.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>
#include <malloc.h>

using namespace Quorvane;

class TestEventXml : public QObject
{
    Q_OBJECT

private:
    static EventMap read(const QByteArray &answer, int *result = nullptr)
    {
        QByteArray bytes = answer;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        EventMap events;
        const int r = EventXml::readEventList(buffer, events);
        if (result)
            *result = r;
        return events;
    }

    static int mappingCount()
    {
        QFile maps("/proc/self/maps");
        return maps.open(QIODevice::ReadOnly) ? maps.readAll().count('\n') : 0;
    }

private slots:
    void documentIsOneLineInFieldOrder()
    {
        EventElement event;
        event.setId("3f2a");
        event.setName("Tax return");
        event.setPath("/home/ann/papers/tax.pdf");
        event.setType("application/pdf");
        event.setContent("");
        event.setDescription("Uploaded by KEYCRATE");
        event.setRecordTime("1700000000");
        event.setRecordChanged("1700000001");
        QCOMPARE(EventXml::document(event),
                 QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>3f2a</id>"
                            "<name><![CDATA[Tax return]]></name>"
                            "<path><![CDATA[tax.pdf]]></path><type>application/pdf</type>"
                            "<content><![CDATA[]]></content>"
                            "<description><![CDATA[Uploaded by KEYCRATE]]></description>"
                            "<recordTime>1700000000</recordTime>"
                            "<recordChanged>1700000001</recordChanged></event>"));
    }

    void emptyEventStillHasEveryElement()
    {
        QCOMPARE(EventXml::document(EventElement()),
                 QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id></id>"
                            "<name><![CDATA[]]></name><path><![CDATA[]]></path><type></type>"
                            "<content><![CDATA[]]></content>"
                            "<description><![CDATA[]]></description><recordTime></recordTime>"
                            "<recordChanged></recordChanged></event>"));
    }

    void pathText()
    {
        QCOMPARE(EventXml::pathText("a/b/c.txt"), QByteArray("c.txt"));
        QCOMPARE(EventXml::pathText("C:\\docs\\c.txt"), QByteArray("C:\\docs\\c.txt"));
        QCOMPARE(EventXml::pathText("plain.txt"), QByteArray("plain.txt"));
    }

    void valuesCannotBreakTheDocument()
    {
        EventElement event;
        event.setId("a<b&c>");
        event.setType("x/<y>");
        event.setName("ends ]]> early ]]>");
        event.setDescription("line\nbreak ü");
        event.setRecordTime("1&2");
        const QByteArray doc = EventXml::document(event);
        QVERIFY(doc.contains("<id>a&lt;b&amp;c&gt;</id>"));
        QVERIFY(doc.contains("<type>x/&lt;y&gt;</type>"));
        QVERIFY(doc.contains("<recordTime>1&amp;2</recordTime>"));
        QVERIFY(
            doc.contains("<name><![CDATA[ends ]]]]><![CDATA[> early ]]]]><![CDATA[>]]></name>"));
        // CDATA values other than "]]>" are carried byte for byte.
        QVERIFY(doc.contains("<description><![CDATA[line\nbreak ü]]></description>"));
    }

    void eventListReadsCompleteRecords()
    {
        int result = -1;
        const EventMap events = read("OK 2 events\n"
                                     "id\nA1\nname\nFirst\npath\nf.pdf\ntype\napplication/pdf\n"
                                     "content\n\ndescription\nnotes\nrecordTime\n100\n"
                                     "recordChanged\n200\nevent\n"
                                     "junk line\nname\nSecond\nid\nB2\nevent\n",
                                     &result);
        QCOMPARE(result, 0);
        QCOMPARE(events.size(), 2);
        const EventElement first = events.value("A1");
        QCOMPARE(first.getName(), QByteArray("First"));
        QCOMPARE(first.getPath(), QByteArray("f.pdf"));
        QCOMPARE(first.getType(), QByteArray("application/pdf"));
        QCOMPARE(first.getContent(), QByteArray(""));
        QCOMPARE(first.getDescription(), QByteArray("notes"));
        QCOMPARE(first.getRecordTime(), QByteArray("100"));
        QCOMPARE(first.getRecordChanged(), QByteArray("200"));
        QVERIFY(first.listed);
        QCOMPARE(first.location, 3);
        QCOMPARE(first.kind, 3);
        QCOMPARE(first.access, 4);
        QCOMPARE(events.value("B2").getName(), QByteArray("Second"));
    }

    void manyEventsTakeNoMappingEach()
    {
        // Every kept value once had a mapping of its own: the process ran out
        // of them near 65,000 before it ran out of memory.
        // Large blocks come from mappings of their own, as glibc does unless an
        // earlier free raised its threshold.
#ifdef __GLIBC__
        mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
        const int count = 50000;
        QByteArray answer = "OK\n";
        for (int i = 0; i < count; ++i)
            answer += "id\n" + QByteArray::number(i) + "\nname\nEvent\npath\nnote.txt\nevent\n";
        const int before = mappingCount();
        const EventMap events = read(answer);
        QCOMPARE(events.size(), count);
        QCOMPARE(events.last().getPath(), QByteArray("note.txt"));
        QVERIFY2(mappingCount() - before < 100,
                 qPrintable(QString::number(mappingCount() - before)));
    }

    void eventListEdges()
    {
        // The first line is the status line, even when it looks like a key.
        QCOMPARE(read("id\nX\nevent\n").keys(), QList<QByteArray> { "" });
        // Unclosed records, and a closing word without its line feed, are dropped.
        QVERIFY(read("OK\nid\nX\n").isEmpty());
        QVERIFY(read("OK\nid\nX\nevent").isEmpty());
        // The same id twice: the second record wins.
        QCOMPARE(
            read("OK\nid\nX\nname\none\nevent\nid\nX\nname\ntwo\nevent\n").value("X").getName(),
            QByteArray("two"));
        // Lines ended by CR LF match no key.
        QVERIFY(read("OK\r\nid\r\nX\r\nevent\r\n").isEmpty());
        // A key at the very end without a value line ends the list.
        QVERIFY(read("OK\nid\n").isEmpty());
    }

    void loginRefusal()
    {
        int result = -1;
        QVERIFY(read("Status: ~**login error (bad password)\nid\nX\nevent\n", &result).isEmpty());
        QCOMPARE(result, 100);
        // Only the first line counts.
        read("OK\n~**login error\n", &result);
        QCOMPARE(result, 0);

        QTemporaryDir dir;
        const QString answer = dir.filePath("SaveEvent.ServerResponse.txt");
        QCOMPARE(EventXml::checkSaveAnswer(answer), 0); // missing counts as success
        QFile file(answer);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("~**login error\n");
        file.close();
        QCOMPARE(EventXml::checkSaveAnswer(answer), 100);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("saved\n~**login error\n");
        file.close();
        QCOMPARE(EventXml::checkSaveAnswer(answer), 0);
    }

    void serverPathsStayFileNames()
    {
        // A listed path never names a file outside the event's own folder.
        const QByteArray list = "OK\nid\nA\npath\n%1\nevent\n";
        const QList<QPair<QByteArray, QByteArray>> cases {
            { "/home/u/.ssh/id_rsa", "id_rsa" },
            { "..\\..\\boot.ini", "boot.ini" },
            { "report.pdf", "report.pdf" },
            { "..", "." },
            { ".", "." },
            { "a/b/..", "." },
            { "folder/", "." },
            { QByteArray("a\0b", 3), "." },
            { "", "" },
        };
        for (const auto &[sent, kept] : cases)
            QCOMPARE(read(QByteArray(list).replace("%1", sent)).value("A").getPath(), kept);
    }

    void answerLinesAreBounded()
    {
        const qint64 max = EventXml::MaxAnswerLine;
        int result = -1;
        // A line of the bound, line feed included, is read; one byte more fails.
        const QByteArray longest(max - 1, 'n');
        QCOMPARE(read("OK\nid\nA\nname\n" + longest + "\nevent\n", &result).value("A").getName(),
                 longest);
        QCOMPARE(result, 0);
        for (const QByteArray &answer : { "OK\nid\nA\nname\n" + longest + "n\nevent\n",
                                          longest + "nn\n", "OK\n" + QByteArray(3 * max, 'k') }) {
            QVERIFY(read(answer, &result).isEmpty());
            QCOMPARE(result, 99);
        }

        QTemporaryDir dir;
        const QString answer = dir.filePath("SaveEvent.ServerResponse.txt");
        QFile file(answer);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(max + 1, 'x'));
        file.close();
        QCOMPARE(EventXml::checkSaveAnswer(answer), 99);
    }
};

QTEST_GUILESS_MAIN(TestEventXml)
#include "tst_EventXml.moc"
