// Events without a file of the user's: text events and events fetched from an
// address, through IQuorvane only, against the reference backup server.

#include "FileServer.h"
#include "LibraryHost.h"
#include "LibrarySettings.h"
#include "ReferenceServer.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Quorvane;

class PipeAddKinds : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void textEventIsStoredAndUploadedAsItsText();
    void privateTextEventIsStoredOnly();
    void fetchedEventKeepsAndUploadsTheFetchedBytes();
    void failedFetchStoresNothing();

private:
    QByteArray addAndFind(const EventNative &event);
    QList<ListedEvent> load();
    // Fetches the server's copy of an event into a second data folder and
    // answers that folder (the library's data folder until the next test).
    QString downloadElsewhere(const QByteArray &id);
    QStringList filesDirectlyIn(const QString &folder) const;

    IQuorvane *m_library = nullptr;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QTemporaryDir> m_second;
    RecordingUser m_user;
    // What the user heard up to the end of the last add.
    QList<QByteArray> m_addMessages;
};

void PipeAddKinds::initTestCase()
{
    QString why;
    m_library = loadLibrary(&why);
    QVERIFY2(m_library, qPrintable(why));
}

void PipeAddKinds::init()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    m_data = std::make_unique<QTemporaryDir>();
    m_second = std::make_unique<QTemporaryDir>();
    QVERIFY(m_data->isValid() && m_second->isValid());
    LibrarySettings::configure(m_server->url(), m_data->path());
    m_library->setDataPath(m_data->path().toUtf8().constData());
    m_user.clear();
}

void PipeAddKinds::cleanup()
{
    m_server.reset();
}

QByteArray PipeAddKinds::addAndFind(const EventNative &event)
{
    const int before = m_user.finishes.size();
    if (m_library->addEvent(event, &m_user) != 0 || !m_user.waitForFinished(before + 1)
        || m_user.last().code != 0)
        return QByteArray();
    m_addMessages = m_user.messages;
    // Adds of these kinds take the pipes in turn; only the first pipe's
    // results can be read, so a read finds the new event.
    for (const ListedEvent &listed : load()) {
        if (listed.name == event.name)
            return listed.id;
    }
    return QByteArray();
}

QList<ListedEvent> PipeAddKinds::load()
{
    return loadAll(m_library, m_user);
}

QString PipeAddKinds::downloadElsewhere(const QByteArray &id)
{
    m_library->setDataPath(m_second->path().toUtf8().constData());
    if (locationOf(load(), id) != 1)
        return QString();
    const int before = m_user.finishes.size();
    if (m_library->downloadEvents(idList({ id }), &m_user) != 0
        || !m_user.waitForFinished(before + 1) || m_user.last().code != 0)
        return QString();
    return m_second->path();
}

QStringList PipeAddKinds::filesDirectlyIn(const QString &folder) const
{
    return QDir(folder).entryList(QDir::Files);
}

void PipeAddKinds::textEventIsStoredAndUploadedAsItsText()
{
    const QByteArray text = "Call the plumber\nabout the \xc3\xa9vier\n\ttomorrow at 9\n";
    EventNative event = hostEvent(1, 1, "Reminder", "", text.constData());
    const QByteArray id = addAndFind(event);
    QVERIFY(!id.isEmpty());
    QCOMPARE(m_addMessages.last(), QByteArray("Done."));
    QVERIFY(m_addMessages.contains("Uploading event \"Reminder\"..."));

    const QString folder = eventFolder(m_data->path(), id);
    QVERIFY(!folder.isEmpty());
    QFile generated(folder + QStringLiteral("/generated_file_name.fake_extension.txt"));
    QVERIFY(generated.open(QIODevice::ReadOnly));
    QCOMPARE(generated.readAll(), text);

    // What the server keeps is the text itself. A text event saved from the
    // server keeps its download where it landed, named by the id.
    const QString second = downloadElsewhere(id);
    QVERIFY(!second.isEmpty());
    QFile downloaded(second + QStringLiteral("/holding/") + QString::fromUtf8(id));
    QVERIFY(downloaded.open(QIODevice::ReadOnly));
    QCOMPARE(downloaded.readAll(), text);
}

void PipeAddKinds::privateTextEventIsStoredOnly()
{
    EventNative event = hostEvent(2, 2, "Diary", "", "Dear diary");
    const QByteArray id = addAndFind(event);
    QVERIFY(!id.isEmpty());
    for (const QByteArray &message : std::as_const(m_addMessages))
        QVERIFY2(!message.startsWith("Uploading"), message.constData());

    QFile generated(eventFolder(m_data->path(), id)
                    + QStringLiteral("/generated_file_name.fake_extension.txt"));
    QVERIFY(generated.open(QIODevice::ReadOnly));
    QCOMPARE(generated.readAll(), QByteArray("Dear diary"));
    QCOMPARE(locationOf(load(), id), 0);
}

void PipeAddKinds::fetchedEventKeepsAndUploadsTheFetchedBytes()
{
    QByteArray served;
    for (int i = 0; i < 5000; ++i)
        served += "page " + QByteArray::number(i) + '\n';
    FileServer web("/files/report.pdf", served);
    QVERIFY(web.listening());
    const QByteArray address = web.address("/files/report.pdf?version=2&lang=en");

    EventNative event = hostEvent(0, 1, "Fetched report", "", "", address.constData());
    const QByteArray id = addAndFind(event);
    QVERIFY(!id.isEmpty());
    QCOMPARE(m_addMessages.last(), QByteArray("Done."));
    QVERIFY(m_addMessages.contains("Uploading event \"Fetched report\"..."));
    QVERIFY(!web.requestLines.isEmpty());
    QVERIFY(web.requestLines.first().startsWith("GET /files/report.pdf"));

    // Stored under the address's last name; path.txt names that copy.
    const QString folder = eventFolder(m_data->path(), id);
    QVERIFY(!folder.isEmpty());
    const QString stored = folder + QStringLiteral("/report.pdf");
    QFile copy(stored);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QVERIFY(copy.readAll() == served);
    QFile pathFile(folder + QStringLiteral("/path.txt"));
    QVERIFY(pathFile.open(QIODevice::ReadOnly));
    QCOMPARE(pathFile.readAll(), stored.toUtf8());
    QCOMPARE(findListed(listedEvents(m_library, m_user.last().count), id).path, stored.toUtf8());
    QCOMPARE(locationOf(listedEvents(m_library, m_user.last().count), id), 2);
    // No holding file is left behind: only the server's answers lie there.
    for (const QString &name : filesDirectlyIn(m_data->path()))
        QVERIFY2(name.endsWith(QLatin1String(".ServerResponse.txt")), qPrintable(name));

    // The server got the same bytes.
    const QString second = downloadElsewhere(id);
    QVERIFY(!second.isEmpty());
    QFile uploaded(eventFolder(second, id) + QStringLiteral("/report.pdf"));
    QVERIFY(uploaded.open(QIODevice::ReadOnly));
    QVERIFY(uploaded.readAll() == served);
}

void PipeAddKinds::failedFetchStoresNothing()
{
    FileServer web("/files/report.pdf", "bytes");
    QVERIFY(web.listening());
    const QByteArray address = web.address("/files/missing.pdf?version=2");

    EventNative event = hostEvent(0, 1, "Not there", "", "", address.constData());
    const int before = m_user.finishes.size();
    QCOMPARE(m_library->addEvent(event, &m_user), 0);
    QVERIFY(m_user.waitForFinished(before + 1));
    QCOMPARE(m_user.last().code, 99);
    QCOMPARE(m_user.messages.last(), QByteArray("Error."));

    // At most the empty folder where downloads wait.
    const QStringList folders = QDir(m_data->path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    QVERIFY2(folders.isEmpty() || folders == QStringList { "holding" },
             qPrintable(folders.join(' ')));
    QVERIFY(QDir(m_data->filePath("holding")).isEmpty());
    QVERIFY(filesDirectlyIn(m_data->path()).isEmpty());
    QVERIFY(load().isEmpty());
}

QTEST_GUILESS_MAIN(PipeAddKinds)
#include "tst_PipeAddKinds.moc"
