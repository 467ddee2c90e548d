#include "EventElement.h"
#include "EventMap.h"
#include "IdList.h"

#include <QTest>
#include <cstring>
#include <memory>

using namespace Quorvane;

class EventRecordsTest : public QObject
{
    Q_OBJECT

private slots:
    void copiesShareTextButSettersDetach();
    void copyOutlivesItsSource();
    void conversionFromHostRecord();
    void hostViewPointsIntoElement();
    void idListEntries();
    void idListGrowth();
    void idListCopyAndRelease();
    void timeStamps_data();
    void timeStamps();
    void eventMapOrdersByRawBytes();
};

void EventRecordsTest::copiesShareTextButSettersDetach()
{
    EventElement source;
    source.setName("first");
    source.setPath("/tmp/a.pdf");
    const char *sourceName = source.name;

    EventElement copy(source);
    QVERIFY(copy.name == source.name); // one block of texts, shared
    QCOMPARE(copy.content, nullptr); // never assigned stays null
    copy.setName("second");
    QCOMPARE(source.name, sourceName);
    QCOMPARE(QByteArray(source.name), QByteArray("first"));
    QCOMPARE(source.getName(), QByteArray("first"));
    QCOMPARE(QByteArray(copy.name), QByteArray("second"));
    QCOMPARE(QByteArray(copy.path), QByteArray("/tmp/a.pdf"));

    EventElement assigned;
    assigned.setName("old");
    assigned = source;
    assigned.setPath("/elsewhere");
    QCOMPARE(QByteArray(source.path), QByteArray("/tmp/a.pdf"));
    QCOMPARE(QByteArray(assigned.name), QByteArray("first"));
    QCOMPARE(QByteArray(assigned.path), assigned.getPath());

    assigned = assigned;
    QCOMPARE(QByteArray(assigned.path), QByteArray("/elsewhere"));

    // Texts keep every byte, a zero byte too, and each stays its own after
    // the others change; a pointer a host re-aimed is aimed back by a copy.
    EventElement texts;
    texts.setDescription(QByteArray("a\0b", 3));
    texts.setId("id");
    texts.setDescription("");
    texts.setName(QByteArray(5000, 'n'));
    QCOMPARE(texts.getDescription(), QByteArray(""));
    QVERIFY(!texts.getDescription().isNull());
    QVERIFY(texts.getPath().isNull());
    QCOMPARE(texts.path, nullptr);
    QCOMPARE(texts.getId(), QByteArray("id"));
    QCOMPARE(QByteArray(texts.id), QByteArray("id"));
    QCOMPARE(texts.getName(), QByteArray(5000, 'n'));
    texts.setContent(QByteArray("x\0y", 3));
    QCOMPARE(texts.getContent(), QByteArray("x\0y", 3));
    texts.name = "elsewhere";
    const EventElement again(texts);
    QCOMPARE(QByteArray(again.name), QByteArray(5000, 'n'));
    QCOMPARE(again.getContent(), QByteArray("x\0y", 3));
    QCOMPARE(again.path, nullptr);
}

void EventRecordsTest::copyOutlivesItsSource()
{
    auto source = std::make_unique<EventElement>();
    source->setDescription(QByteArray(1000, 'd'));
    source->setId("0123");
    source->listed = true;
    EventElement copy;
    copy = *source;
    EventMap map;
    map.insert(copy.getId(), *source);
    source.reset();

    QCOMPARE(std::strlen(copy.description), size_t(1000));
    QVERIFY(copy.listed);
    QCOMPARE(QByteArray(map.first().id), QByteArray("0123"));
    QCOMPARE(QByteArray(map.first().description), map.first().getDescription());
}

void EventRecordsTest::conversionFromHostRecord()
{
    char name[] = "host name";
    EventNative native;
    native.reserved = "not for the library";
    native.name = name;
    native.path = "/home/u/file.txt";
    native.location = 7;
    native.kind = 1;
    native.access = 2;

    const EventElement element = EventElement::fromNative(native);
    name[0] = 'X'; // the element keeps its own copy

    QCOMPARE(element.reserved, nullptr);
    QCOMPARE(QByteArray(element.name), QByteArray("host name"));
    QCOMPARE(QByteArray(element.path), QByteArray("/home/u/file.txt"));
    for (const char *text : { element.content, element.type, element.recordChanged,
                              element.recordTime, element.id, element.description }) {
        QVERIFY(text != nullptr);
        QCOMPARE(text[0], '\0');
    }
    QVERIFY(!element.getDescription().isNull());
    QCOMPARE(element.location, 7);
    QCOMPARE(element.kind, 1);
    QCOMPARE(element.access, 2);
    QVERIFY(!element.listed);
}

void EventRecordsTest::hostViewPointsIntoElement()
{
    EventElement element;
    element.setId("id-1");
    element.setName("name");
    element.location = 2;
    element.kind = 0;
    element.access = 1;

    const EventNative view = element.hostView();
    QVERIFY(view.id == element.id);
    QVERIFY(view.name == element.name);
    QCOMPARE(view.reserved, nullptr);
    QCOMPARE(view.content, nullptr);
    QCOMPARE(view.location, 3);
    QCOMPARE(view.kind, 3);
    QCOMPARE(view.access, 4);
}

void EventRecordsTest::idListEntries()
{
    IdList list = IdList::withCapacity();
    list.append("0123456789abcdef0123456789abcdef0123EXTRA"); // 40 characters
    list.append("short");
    list.append(nullptr);

    QCOMPARE(list.count, 3);
    QCOMPARE(QByteArray(list.items[0]), QByteArray("0123456789abcdef0123456789abcdef0123"));
    QCOMPARE(list.items[0][36], '\0');
    QCOMPARE(QByteArray(list.items[1]), QByteArray("short"));
    // Past the short id's end the entry is zeros, not leftovers.
    QCOMPARE(QByteArray(list.items[1] + 5, 32), QByteArray(32, '\0'));
    QCOMPARE(QByteArray(list.items[2], IdList::EntrySize), QByteArray(IdList::EntrySize, '\0'));
    list.release();
}

void EventRecordsTest::idListGrowth()
{
    IdList list = IdList::withCapacity();
    QCOMPARE(list.capacity, 1);
    QCOMPARE(list.count, 0);

    list.append("id-1");
    QCOMPARE(list.capacity, 1);
    list.append("id-2");
    QCOMPARE(list.capacity, 48);
    for (int i = 3; i <= 48; ++i)
        list.append(QByteArray::number(i).constData());
    QCOMPARE(list.count, 48);
    QCOMPARE(list.capacity, 48);
    list.append("id-49");
    QCOMPARE(list.capacity, 95);
    QCOMPARE(QByteArray(list.items[0]), QByteArray("id-1"));
    QCOMPARE(QByteArray(list.items[48]), QByteArray("id-49"));
    while (list.count < 96)
        list.append("more");
    QCOMPARE(list.capacity, 142);

    // A grow below the count must not drop entries.
    list.grow(10);
    QCOMPARE(list.capacity, 96);
    QCOMPARE(QByteArray(list.items[95]), QByteArray("more"));
    list.release();
}

void EventRecordsTest::idListCopyAndRelease()
{
    IdList list = IdList::withCapacity();
    list.append("alpha");
    list.append("beta");

    IdList copy = list.copy();
    QCOMPARE(copy.count, 2);
    QCOMPARE(copy.capacity, list.capacity);
    QVERIFY(copy.items[0] != list.items[0]);
    list.items[0][0] = 'A';
    QCOMPARE(QByteArray(copy.items[0]), QByteArray("alpha"));

    list.release();
    QCOMPARE(list.count, 0);
    QCOMPARE(list.items, nullptr);
    // A released list can be filled again.
    list.append("gamma");
    QCOMPARE(list.count, 1);
    QCOMPARE(QByteArray(list.items[0]), QByteArray("gamma"));
    QCOMPARE(QByteArray(copy.items[1]), QByteArray("beta"));
    list.release();
    copy.release();
}

void EventRecordsTest::timeStamps_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<quint32>("seconds");
    QTest::newRow("plain") << QByteArray("1700000000") << quint32(1700000000);
    QTest::newRow("largest") << QByteArray("4294967295") << quint32(4294967295u);
    QTest::newRow("too large") << QByteArray("4294967296") << quint32(0);
    QTest::newRow("letters") << QByteArray("yesterday") << quint32(0);
    QTest::newRow("signed") << QByteArray("-5") << quint32(0);
    QTest::newRow("fraction") << QByteArray("12.5") << quint32(0);
    QTest::newRow("empty") << QByteArray() << quint32(0);
}

void EventRecordsTest::timeStamps()
{
    QFETCH(QByteArray, text);
    QFETCH(quint32, seconds);
    QCOMPARE(parseTimeStamp(text), seconds);
    if (seconds)
        QCOMPARE(formatTimeStamp(seconds), text);
}

void EventRecordsTest::eventMapOrdersByRawBytes()
{
    EventMap map;
    for (const QByteArray &id : { QByteArray("b"), QByteArray("\xc3\xa9"), QByteArray("ab"),
                                  QByteArray("a"), QByteArray("B") }) {
        EventElement element;
        element.setId(id);
        map.insert(id, element);
    }
    EventElement replacement;
    replacement.setName("again");
    map.insert("a", replacement);

    QCOMPARE(map.keys(), QList<QByteArray>({ "B", "a", "ab", "b", "\xc3\xa9" }));
    QCOMPARE(map.value("a").getName(), QByteArray("again"));
}

QTEST_APPLESS_MAIN(EventRecordsTest)
#include "tst_EventRecords.moc"
