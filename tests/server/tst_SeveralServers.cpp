// Two quorvane-server processes on one PostgreSQL database and one data folder
// act as one service; or, with QUORVANE_TEST_STORAGE=s3, on one database and
// one bucket with a data folder each.

#include "PostgresCluster.h"
#include "S3Cluster.h"
#include "ServerProcess.h"
#include "ServiceClient.h"

#include <QDir>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <memory>

namespace {

// Short, so that a killed server's uploads are soon aborted.
constexpr int LeaseMs = 2000;

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

// An upload sent in two parts over a raw socket: head and first bytes now,
// the rest when finish() is called.
class SplitUpload
{
public:
    SplitUpload(int port, const QByteArray &id, const QByteArray &file)
        : m_file(file)
    {
        const QByteArray body = ServiceClient::document(id) + "-|+" + file;
        m_rest = body.mid(body.size() / 2);
        m_socket.connectToHost("127.0.0.1", static_cast<quint16>(port));
        m_socket.waitForConnected(10000);
        m_socket.write("POST /action/file/quorvupload?username=alice&password=alice-pass"
                       "&access_id=0 HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                       "Content-Length: "
                       + QByteArray::number(body.size()) + "\r\n\r\n" + body.left(body.size() / 2));
        while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(10000)) { }
    }

    // The status code of the answer, 0 when none came.
    int finish()
    {
        m_socket.write(m_rest);
        QByteArray answer;
        while (m_socket.waitForReadyRead(30000) || m_socket.bytesAvailable() > 0) {
            answer += m_socket.readAll();
            if (answer.contains("\r\n\r\n"))
                break;
        }
        return answer.startsWith("HTTP/1.1 ") ? answer.mid(9, 3).toInt() : 0;
    }

private:
    QTcpSocket m_socket;
    QByteArray m_file;
    QByteArray m_rest;
};

} // namespace

class SeveralServersTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void eventsMoveFreelyBetweenServers();
    void eightClientsThroughBothAtOnce();
    void sameEventThroughBothAtOnce();
    void killedServerLeavesNoHalfEvent();
    void removeRacingDownloadDeliversWholeFile();

private:
    // The first server's data folder, or with S3 the one of server number.
    std::unique_ptr<ServerProcess> startServer(int number = 1);
    QString dataFolder(int number) const
    {
        return m_dir->path() + (m_s3 ? "/data" + QString::number(number) : QString("/data"));
    }
    QStringList storedFiles() const
    {
        return m_s3 ? m_s3->keys(m_prefix + "/files/") : entries(dataFolder(1) + "/files");
    }
    QStringList temporaryFiles() const
    {
        QStringList names = entries(dataFolder(1) + "/tmp");
        if (m_s3)
            names += entries(dataFolder(2) + "/tmp");
        return names;
    }
    ServiceClient client(const ServerProcess &server) const
    {
        return ServiceClient(server.url(""), "alice", "alice-pass");
    }
    // The multipart uploads of this test's prefix in the bucket.
    int multipartUploads() const
    {
        return m_s3->request("GET", m_s3->bucket() + "?uploads=")
            .body.count("<Key>" + m_prefix.toUtf8() + "/files/");
    }
    // Waits for a query to succeed: one that divides by zero until the
    // database holds what it checks.
    bool waitForDatabase(const QByteArray &check)
    {
        const QString name = QUrl(m_database).path().mid(1);
        return QTest::qWaitFor([&] { return m_postgres.execute(name, check); }, 20000);
    }
    bool waitForTemporaryFiles(int count) const
    {
        // A ".new" name is a file still being made: a server killed then
        // leaves it for a later sweep, so only named uploads count.
        return QTest::qWaitFor(
            [&] {
                const QStringList names = temporaryFiles();
                return std::count_if(names.begin(), names.end(),
                                     [](const QString &name) { return name.endsWith(".part"); })
                    >= count;
            },
            20000);
    }

    PostgresCluster m_postgres;
    std::unique_ptr<S3Cluster> m_s3;
    QString m_prefix;
    int m_tests = 0;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_database;
    std::unique_ptr<ServerProcess> m_one;
    std::unique_ptr<ServerProcess> m_two;
};

void SeveralServersTest::initTestCase()
{
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.failure()));
    if (qEnvironmentVariable("QUORVANE_TEST_STORAGE") == "s3") {
        m_s3 = std::make_unique<S3Cluster>();
        QVERIFY2(m_s3->start(), qPrintable(m_s3->failure()));
        qputenv("AWS_ACCESS_KEY_ID", m_s3->accessKey());
        qputenv("AWS_SECRET_ACCESS_KEY", m_s3->secretKey());
    }
}

std::unique_ptr<ServerProcess> SeveralServersTest::startServer(int number)
{
    auto server = std::make_unique<ServerProcess>(dataFolder(number), m_database);
    if (m_s3)
        server->setStorage({ "--storage", "s3://" + m_s3->bucket() + "/" + m_prefix,
                             "--s3-endpoint", m_s3->endpoint(), "--s3-region", m_s3->region(),
                             "--s3-part-size", "5M", "--s3-upload-lease",
                             QString::number(LeaseMs / 1000.0) });
    if (!server->start())
        qWarning("%s", qPrintable(server->failure()));
    return server;
}

void SeveralServersTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_database = m_postgres.newDatabase();
    QVERIFY2(!m_database.isEmpty(), qPrintable(m_postgres.failure()));
    m_prefix = QStringLiteral("several%1").arg(++m_tests);
    ServerProcess accounts(dataFolder(1), m_database);
    QCOMPARE(accounts.command({ "account", "add", "alice" }, "alice-pass\n").exitCode, 0);
    m_one = startServer(1);
    m_two = startServer(2);
    QVERIFY(m_one->port() != 0 && m_two->port() != 0);
}

void SeveralServersTest::cleanup()
{
    m_one.reset();
    m_two.reset();
    m_dir.reset();
}

void SeveralServersTest::eventsMoveFreelyBetweenServers()
{
    ServiceClient one = client(*m_one);
    ServiceClient two = client(*m_two);
    const QByteArray first = ServiceClient::randomBytes(300 * 1024);
    QCOMPARE(one.upload("a", first).status, 200);
    QCOMPARE(two.ids(), QList<QByteArray> { "a" });
    QCOMPARE(two.download("a").body, first);

    // Replaced through the other server: both deliver the new file, and the
    // old one is gone from the folder.
    const QByteArray second = ServiceClient::randomBytes(1000);
    QCOMPARE(two.upload("a", second).status, 200);
    QCOMPARE(one.download("a").body, second);
    QCOMPARE(storedFiles().size(), 1);

    QCOMPARE(one.upload("b", "bee").status, 200);
    QCOMPARE(two.remove("a").status, 200);
    QCOMPARE(one.download("a").status, 404);
    QCOMPARE(one.ids(), QList<QByteArray> { "b" });
    QCOMPARE(storedFiles().size(), 1);

    // The account commands see the same service.
    const ServerProcess::Run listed = m_one->command({ "account", "list" });
    QCOMPARE(listed.exitCode, 0);
    QCOMPARE(listed.out, QByteArray("alice\t1 events\t3 bytes\n"));
}

void SeveralServersTest::eightClientsThroughBothAtOnce()
{
    // Three rounds of eight clients; in each, the files of the round before
    // are downloaded through the other server while the new ones go up.
    ServiceClient one = client(*m_one);
    ServiceClient two = client(*m_two);
    QMap<QByteArray, QByteArray> files;
    QList<QByteArray> previous;
    for (int round = 0; round < 3; ++round) {
        QList<ServiceClient::Request> requests;
        QList<QByteArray> current;
        for (int i = 0; i < 8; ++i) {
            const QByteArray id = QByteArray::number(round) + "-" + QByteArray::number(i);
            files[id] = ServiceClient::randomBytes(256 * 1024 + i * 4096);
            requests.append((i % 2 ? one : two).uploadRequest(id, files[id]));
            current.append(id);
        }
        for (int i = 0; i < previous.size(); ++i)
            requests.append((i % 2 ? two : one).downloadRequest(previous[i]));
        const QList<HttpClient::Reply> replies = ServiceClient::sendAll(requests);
        for (int i = 0; i < replies.size(); ++i) {
            QVERIFY2(replies[i].status == 200, qPrintable(replies[i].error));
            if (i >= 8)
                QVERIFY(replies[i].body == files[previous[i - 8]]);
        }
        previous = current;
    }
    QCOMPARE(one.ids().size(), 24);
    QCOMPARE(two.ids().size(), 24);
    QCOMPARE(storedFiles().size(), 24);
}

void SeveralServersTest::sameEventThroughBothAtOnce()
{
    // Writers of both servers take turns: every upload of the one id is
    // stored and replaced in order, none fails, one event and one file stay.
    ServiceClient one = client(*m_one);
    ServiceClient two = client(*m_two);
    QList<ServiceClient::Request> requests;
    QList<QByteArray> versions;
    for (int i = 0; i < 8; ++i) {
        versions.append(ServiceClient::randomBytes(64 * 1024));
        requests.append((i % 2 ? one : two).uploadRequest("same", versions.last()));
    }
    for (const HttpClient::Reply &reply : ServiceClient::sendAll(requests))
        QVERIFY2(reply.status == 200, qPrintable(reply.error + reply.body));
    QCOMPARE(two.ids(), QList<QByteArray> { "same" });
    QVERIFY(versions.contains(one.download("same").body));
    QCOMPARE(storedFiles().size(), 1);
}

void SeveralServersTest::killedServerLeavesNoHalfEvent()
{
    // One upload in progress on each server; then the first is killed.
    // With S3 they stream to the store as multipart uploads, each under a
    // lease, and no data folder sees them.
    const int size = m_s3 ? 12 << 20 : 2 << 20;
    SplitUpload half(m_one->port(), "half", ServiceClient::randomBytes(size));
    const QByteArray whole = ServiceClient::randomBytes(size);
    SplitUpload going(m_two->port(), "going", whole);
    QVERIFY(m_s3 ? waitForDatabase("SELECT 1 / (count(*) / 2) FROM upload_leases")
                 : waitForTemporaryFiles(2));
    m_one->kill();

    ServiceClient two = client(*m_two);
    QCOMPARE(two.upload("after", "after the kill").status, 200);
    QCOMPARE(two.ids(), QList<QByteArray> { "after" });
    QCOMPARE(two.download("half").status, 404);

    // A server started now (with S3: in the killed one's place, once the
    // killed one's lease ran out) sweeps what the killed one left, not the
    // upload the other one is still receiving.
    if (m_s3)
        QTest::qWait(LeaseMs * 3 / 2);
    std::unique_ptr<ServerProcess> three = startServer(1);
    QVERIFY(three->port() != 0);
    if (m_s3)
        QCOMPARE(multipartUploads(), 1);
    QVERIFY2(m_s3 || three->log().contains("removed 1 unfinished uploads"),
             three->log().constData());
    QCOMPARE(temporaryFiles().size(), m_s3 ? 0 : 1);
    QCOMPARE(going.finish(), 200);
    QCOMPARE(client(*three).download("going").body, whole);
    QCOMPARE(client(*three).ids(), (QList<QByteArray> { "after", "going" }));
    QVERIFY(temporaryFiles().isEmpty());
    QCOMPARE(storedFiles().size(), 2);
    if (m_s3) {
        QCOMPARE(multipartUploads(), 0);
        // Completed and aborted uploads leave no lease behind.
        QVERIFY(waitForDatabase("SELECT 1 / (1 - least(count(*), 1)) FROM upload_leases"));
    }
}

void SeveralServersTest::removeRacingDownloadDeliversWholeFile()
{
    const QByteArray file = ServiceClient::randomBytes(32 << 20);
    QCOMPARE(client(*m_one).upload("big", file).status, 200);

    // A reader that takes the answer slowly, so the download is still being
    // sent when the other server removes the event.
    const QByteArray body = ServiceClient::document("big");
    QTcpSocket socket;
    socket.setReadBufferSize(64 * 1024);
    socket.connectToHost("127.0.0.1", static_cast<quint16>(m_two->port()));
    QVERIFY(socket.waitForConnected(10000));
    socket.write("POST /action/file/quorvdownload?username=alice&password=alice-pass"
                 "&extguid=big HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                 "Content-Length: "
                 + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QVERIFY(socket.waitForReadyRead(20000));
    QByteArray answer = socket.readAll();

    QCOMPARE(client(*m_one).remove("big").status, 200);
    QCOMPARE(client(*m_one).download("big").status, 404);

    // What the event loop took in meanwhile first: a wait on a full read
    // buffer reads nothing and spins out its whole timeout.
    do
        answer += socket.readAll();
    while (socket.waitForReadyRead(20000) || socket.bytesAvailable() > 0);
    const qsizetype headEnd = answer.indexOf("\r\n\r\n");
    QVERIFY(headEnd > 0);
    QVERIFY(answer.startsWith("HTTP/1.1 200"));
    QVERIFY(answer.mid(headEnd + 4) == file);
}

QTEST_GUILESS_MAIN(SeveralServersTest)
#include "tst_SeveralServers.moc"
