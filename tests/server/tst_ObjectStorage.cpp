// The server with its files in an S3 bucket: large files in parts, ranges,
// damaged objects, one service per prefix, and the store going away.

#include "FaultRelay.h"
#include "S3Cluster.h"
#include "ServerProcess.h"
#include "ServiceClient.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

class ObjectStorageTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void largeFileGoesUpInPartsAndComesBackInRanges();
    void damagedObjectIsNeverSentWhole();
    void partsGoUpWhileTheBodyArrivesAndABrokenUploadIsAborted();
    void storeCutMidPartFailsTheUploadAndLeavesNothing();
    void stalledStoreHoldsBackTheClient();
    void prefixBelongsToOneService();
    void copyMovesFilesToTheBucketAndBack();
    void deadCopysUploadIsAbortedOnceItsLeaseRunsOut();
    void runningServerSweepsStrayObjectsPastTheGrace();
    void storeDownAnswers503ThenRecovers();
    void migrateHashesTheFilesInTheBucket();
    void transfersTakeTurnsWithinTheBufferBudget();
    void budgetComesBackWhateverBreaks();

private:
    std::unique_ptr<ServerProcess> startServer(const QString &folder,
                                               const QStringList &extra = {});
    QStringList storageArguments() const;
    ServiceClient client(const ServerProcess &server) const
    {
        return ServiceClient(server.url(""), "alice", "alice-pass");
    }
    // curl's download of an event: its exit code, the body and the head.
    struct Fetched
    {
        int exitCode = -1;
        QByteArray body;
        QByteArray head;
    };
    Fetched fetch(const ServerProcess &server, const QByteArray &id, const QString &range = {});

    // Whether the bucket holds an unfinished multipart upload with a part.
    bool partsInProgress();

    S3Cluster m_s3;
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_prefix;
    int m_tests = 0;
};

void ObjectStorageTest::initTestCase()
{
    QVERIFY2(m_s3.start(), qPrintable(m_s3.failure()));
    qputenv("AWS_ACCESS_KEY_ID", m_s3.accessKey());
    qputenv("AWS_SECRET_ACCESS_KEY", m_s3.secretKey());
}

void ObjectStorageTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_prefix = QStringLiteral("objects%1").arg(++m_tests);
}

QStringList ObjectStorageTest::storageArguments() const
{
    return { "--storage",     "s3://" + m_s3.bucket() + "/" + m_prefix,
             "--s3-endpoint", m_s3.endpoint(),
             "--s3-region",   m_s3.region() };
}

std::unique_ptr<ServerProcess> ObjectStorageTest::startServer(const QString &folder,
                                                              const QStringList &extra)
{
    auto server = std::make_unique<ServerProcess>(m_dir->path() + "/" + folder);
    server->setStorage(storageArguments());
    if (server->account("adduser", "alice", "alice-pass") != 0 || !server->start(extra))
        qWarning("%s", qPrintable(server->failure()));
    return server;
}

ObjectStorageTest::Fetched ObjectStorageTest::fetch(const ServerProcess &server,
                                                    const QByteArray &id, const QString &range)
{
    QStringList arguments = { "-sS", "-D", "-", "-X", "POST", "--data-binary", "x" };
    if (!range.isEmpty())
        arguments << "-H"
                  << "Range: bytes=" + range;
    arguments << server.url("/action/file/quorvdownload?username=alice&password=alice-pass"
                            "&extguid="
                            + QUrl::toPercentEncoding(id));
    QProcess curl;
    curl.start("curl", arguments);
    Fetched fetched;
    if (!curl.waitForFinished(60000))
        return fetched;
    fetched.exitCode = curl.exitCode();
    const QByteArray out = curl.readAllStandardOutput();
    const qsizetype end = out.indexOf("\r\n\r\n");
    fetched.head = out.left(end);
    fetched.body = out.mid(end + 4);
    return fetched;
}

void ObjectStorageTest::largeFileGoesUpInPartsAndComesBackInRanges()
{
    auto server = startServer("data", { "--s3-part-size", "5M", "--rate-window", "600" });
    QVERIFY(server->port() != 0);
    const QByteArray file = ServiceClient::randomBytes(11 << 20);
    ServiceClient alice = client(*server);
    QCOMPARE(alice.upload("big", file).status, 200);
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 1);
    // No part is left behind as an unfinished multipart upload.
    const S3Cluster::Answer uploads = m_s3.request("GET", m_s3.bucket() + "?uploads=");
    QCOMPARE(uploads.status, 200L);
    QVERIFY(!uploads.body.contains("<Upload>"));
    // Nothing of the event stays in the data folder.
    QCOMPARE(QDir(m_dir->path() + "/data/files").entryList(QDir::Files).size(), 0);
    QCOMPARE(QDir(m_dir->path() + "/data/tmp").entryList(QDir::Files).size(), 0);

    const Fetched whole = fetch(*server, "big");
    QCOMPARE(whole.exitCode, 0);
    QVERIFY(whole.body == file);
    const QByteArray digest = QCryptographicHash::hash(file, QCryptographicHash::Sha256).toBase64();
    QVERIFY2(whole.head.contains("Repr-Digest: sha-256=:" + digest + ":"), whole.head.constData());
    for (const auto &[range, first, length] :
         { std::tuple { "6000000-6000099", 6000000, 100 },
           std::tuple { "1048000-3145800", 1048000, 3145800 - 1048000 + 1 },
           std::tuple { "-100", (11 << 20) - 100, 100 } }) {
        const Fetched part = fetch(*server, "big", range);
        QVERIFY2(part.head.startsWith("HTTP/1.1 206"), part.head.constData());
        QVERIFY(part.body == file.mid(first, length));
    }
    // More clients that stop reading than the blocks the server's downloads
    // share, none dropped for it while the test runs: another download still
    // arrives whole, in smaller pieces.
    std::vector<std::unique_ptr<QTcpSocket>> stalled;
    for (int i = 0; i < 18; ++i) {
        stalled.push_back(std::make_unique<QTcpSocket>());
        QTcpSocket &socket = *stalled.back();
        socket.setReadBufferSize(1);
        socket.connectToHost("127.0.0.1", server->port());
        QVERIFY(socket.waitForConnected(10000));
        socket.write("POST /action/file/quorvdownload?username=alice&password=alice-pass"
                     "&extguid=big HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n");
        QVERIFY(socket.waitForBytesWritten(10000));
        QVERIFY(socket.waitForReadyRead(10000));
    }
    const Fetched again = fetch(*server, "big");
    QCOMPARE(again.exitCode, 0);
    QVERIFY(again.body == file);
    const Fetched part = fetch(*server, "big", "1048000-3145800");
    QVERIFY(part.body == file.mid(1048000, 3145800 - 1048000 + 1));
    stalled.clear();

    QCOMPARE(alice.remove("big").status, 200);
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 0);
    QCOMPARE(alice.download("big").status, 404);

    // Without a length (curl sends standard input chunked) the parts are
    // gathered one at a time, the last one short.
    QProcess curl;
    curl.start("curl",
               { "-sS", "-X", "POST", "-T", "-", "-H", "Expect:", "-o", "/dev/null", "-w",
                 "%{http_code}",
                 server->url("/action/file/quorvupload?username=alice&password=alice-pass"
                             "&access_id=0") });
    QVERIFY(curl.waitForStarted(10000));
    curl.write(ServiceClient::document("chunked") + "-|+" + file);
    curl.closeWriteChannel();
    QVERIFY(curl.waitForFinished(60000));
    QCOMPARE(curl.readAllStandardOutput(), QByteArray("200"));
    QVERIFY(alice.download("chunked").body == file);
    QVERIFY(!m_s3.request("GET", m_s3.bucket() + "?uploads=").body.contains("<Upload>"));
    QCOMPARE(alice.remove("chunked").status, 200);

    // Removing the account removes its objects.
    QCOMPARE(alice.upload("small", "small").status, 200);
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 1);
    QCOMPARE(server->command({ "account", "remove", "alice" }).exitCode, 0);
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 0);
}

void ObjectStorageTest::damagedObjectIsNeverSentWhole()
{
    auto server = startServer("data");
    QVERIFY(server->port() != 0);
    // Three blocks, the last one damaged.
    const QByteArray file = ServiceClient::randomBytes(2600 * 1024);
    QCOMPARE(client(*server).upload("damaged", file).status, 200);
    const QStringList keys = m_s3.keys(m_prefix + "/files/");
    QCOMPARE(keys.size(), 1);
    QByteArray changed = file;
    changed[changed.size() - 1] = static_cast<char>(~changed.back());
    QCOMPARE(m_s3.request("PUT", m_s3.bucket() + "/" + keys.first(), changed).status, 200L);

    for (const QString &range : { QString(), QString("2097152-2097161") }) {
        const Fetched fetched = fetch(*server, "damaged", range);
        QVERIFY(fetched.exitCode != 0);
        QVERIFY(fetched.body.size() < (range.isEmpty() ? file.size() : 1));
    }
    QVERIFY(server->waitForLog("no longer matches its hash"));
    // The sound blocks a range touches are read and sent, no others.
    const Fetched sound = fetch(*server, "damaged", "1048000-1049000");
    QCOMPARE(sound.exitCode, 0);
    QVERIFY(sound.body == file.mid(1048000, 1001));
}

bool ObjectStorageTest::partsInProgress()
{
    const S3Cluster::Answer uploads = m_s3.request("GET", m_s3.bucket() + "?uploads=");
    for (const QByteArray &upload : uploads.body.split('<')) {
        if (!upload.startsWith("UploadId>"))
            continue;
        const QByteArray id = upload.mid(9);
        const QString key = uploads.body.mid(uploads.body.indexOf("<Key>") + 5).split('<').first();
        const S3Cluster::Answer parts = m_s3.request(
            "GET", m_s3.bucket() + "/" + key + "?uploadId=" + QString::fromLatin1(id));
        if (parts.body.contains("<Part>"))
            return true;
    }
    return false;
}

void ObjectStorageTest::partsGoUpWhileTheBodyArrivesAndABrokenUploadIsAborted()
{
    auto server = startServer("data", { "--s3-part-size", "5M", "--rate-window", "600" });
    QVERIFY(server->port() != 0);
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", static_cast<quint16>(server->port()));
    QVERIFY(socket.waitForConnected(10000));
    socket.write("POST /action/file/quorvupload?username=alice&password=alice-pass&access_id=0"
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 40000000\r\n\r\n"
                 + ServiceClient::document("cut") + "-|+" + ServiceClient::randomBytes(12 << 20));
    const auto waitFor = [](const std::function<bool()> &done) {
        const QDeadlineTimer deadline(30000);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(100);
        return done();
    };
    // Sent before the body is complete, and nothing waits on the disk for it.
    QVERIFY(waitFor([this] { return partsInProgress(); }));
    QVERIFY(m_s3.keys(m_prefix + "/files/").isEmpty());
    QVERIFY(QDir(m_dir->path() + "/data/tmp").entryList(QDir::Files).isEmpty());
    socket.abort();
    QVERIFY(waitFor([this] {
        return !m_s3.request("GET", m_s3.bucket() + "?uploads=").body.contains("<Upload>");
    }));
    QVERIFY(m_s3.keys(m_prefix + "/files/").isEmpty());
    QVERIFY(QDir(m_dir->path() + "/data/tmp").entryList(QDir::Files).isEmpty());
    QCOMPARE(client(*server).ids(), QList<QByteArray>());
}

void ObjectStorageTest::storeCutMidPartFailsTheUploadAndLeavesNothing()
{
    // Every try of the second part loses its connection once it is under way.
    FaultRelay relay(static_cast<quint16>(QUrl(m_s3.endpoint()).port()));
    relay.arm("partNumber=2&", FaultRelay::Fault::Cut, FaultRelay::When::AfterForwarding, {}, true);
    auto server = startServer("data",
                              { "--s3-part-size", "5M", "--s3-endpoint",
                                QStringLiteral("http://127.0.0.1:%1").arg(relay.port()) });
    QVERIFY(server->port() != 0);
    ServiceClient alice = client(*server);
    QCOMPARE(alice.upload("cut", ServiceClient::randomBytes(12 << 20)).status, 503);
    QVERIFY(relay.fired());
    QVERIFY(QTest::qWaitFor(
        [this] {
            return !m_s3.request("GET", m_s3.bucket() + "?uploads=").body.contains("<Upload>");
        },
        30000));
    QVERIFY(m_s3.keys(m_prefix + "/files/").isEmpty());
    QCOMPARE(alice.ids(), QList<QByteArray>());

    // One part and one whole object go through the same relay untouched.
    const QByteArray file = ServiceClient::randomBytes(3 << 20);
    QCOMPARE(alice.upload("whole", file).status, 200);
    QVERIFY(alice.download("whole").body == file);
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 1);
    QVERIFY(QDir(m_dir->path() + "/data/tmp").entryList(QDir::Files).isEmpty());
}

void ObjectStorageTest::stalledStoreHoldsBackTheClient()
{
    FaultRelay relay(static_cast<quint16>(QUrl(m_s3.endpoint()).port()));
    relay.arm("PUT /" + m_s3.bucket().toUtf8() + "/" + m_prefix.toUtf8() + "/files/",
              FaultRelay::Fault::Stall, FaultRelay::When::AfterForwarding);
    auto server = startServer(
        "data", { "--s3-endpoint", QStringLiteral("http://127.0.0.1:%1").arg(relay.port()) });
    QVERIFY(server->port() != 0);
    const auto memory = [&server] {
        QFile status(QStringLiteral("/proc/%1/status").arg(server->pid()));
        status.open(QIODevice::ReadOnly);
        const QByteArray text = status.readAll();
        return text.mid(text.indexOf("VmRSS:") + 6).trimmed().split(' ').first().toLongLong();
    };
    const qint64 idle = memory();

    // Far more than the sockets on the way hold; fed as the server takes it.
    const qint64 size = qint64(256) << 20;
    const QByteArray document = ServiceClient::document("held") + "-|+";
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", static_cast<quint16>(server->port()));
    QVERIFY(socket.waitForConnected(10000));
    socket.write("POST /action/file/quorvupload?username=alice&password=alice-pass&access_id=0"
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                 + QByteArray::number(document.size() + size) + "\r\n\r\n" + document);
    const QByteArray piece = ServiceClient::randomBytes(1 << 20);
    qint64 handed = 0;
    qint64 last = -1;
    const QDeadlineTimer deadline(60000);
    for (int still = 0; (still < 5 || !relay.fired()) && handed < size && !deadline.hasExpired();) {
        while (socket.bytesToWrite() < 4 * piece.size() && handed < size)
            handed += socket.write(piece);
        QTest::qWait(300);
        const qint64 taken = handed - socket.bytesToWrite();
        still = taken == last ? still + 1 : 0;
        last = taken;
    }
    QVERIFY(relay.fired());
    // The server stopped reading: it neither kept the bytes nor filled a file.
    QVERIFY2(last < size / 3, qPrintable(QString::number(last)));
    QVERIFY2(memory() - idle < 32 * 1024, qPrintable(QString::number(memory() - idle)));
    QVERIFY(QDir(m_dir->path() + "/data/tmp").entryList(QDir::Files).isEmpty());

    relay.cutStalled();
    socket.abort();
    QVERIFY(QTest::qWaitFor(
        [this] {
            return !m_s3.request("GET", m_s3.bucket() + "?uploads=").body.contains("<Upload>");
        },
        30000));
    QVERIFY(m_s3.keys(m_prefix + "/files/").isEmpty());
    QCOMPARE(client(*server).ids(), QList<QByteArray>());
}

void ObjectStorageTest::runningServerSweepsStrayObjectsPastTheGrace()
{
    const auto waitFor = [](const std::function<bool()> &done) {
        const QDeadlineTimer deadline(30000);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(100);
        return done();
    };
    const QString files = m_s3.bucket() + "/" + m_prefix + "/files/";
    // Young strays may be on their way to another server's event.
    auto server = startServer("data", { "--sweep-every", "0.2" });
    QVERIFY(server->port() != 0);
    QCOMPARE(client(*server).upload("kept", "kept bytes").status, 200);
    QCOMPARE(m_s3.request("PUT", files + "fresh", "fresh").status, 200L);
    QTest::qWait(1000);
    QVERIFY(m_s3.keys(m_prefix + "/files/").contains(m_prefix + "/files/fresh"));
    server->stop();

    QVERIFY(server->start({ "--sweep-every", "0.2", "--sweep-grace", "1" }));
    QVERIFY(waitFor([this] { return m_s3.keys(m_prefix + "/files/").size() == 1; }));
    // Found by a later sweep, not only the one at start.
    QCOMPARE(m_s3.request("PUT", files + "stray", "stray").status, 200L);
    QVERIFY(waitFor([this] { return m_s3.keys(m_prefix + "/files/").size() == 1; }));
    QCOMPARE(client(*server).download("kept").body, QByteArray("kept bytes"));
}

void ObjectStorageTest::copyMovesFilesToTheBucketAndBack()
{
    ServerProcess server(m_dir->path() + "/data");
    QCOMPARE(server.account("adduser", "alice", "alice-pass"), 0);
    QVERIFY2(server.start(), qPrintable(server.failure()));
    const QByteArray large = ServiceClient::randomBytes(6 << 20);
    QCOMPARE(client(server).upload("large", large).status, 200);
    QCOMPARE(client(server).upload("small", "small bytes").status, 200);
    server.stop();
    const auto downloadsMatch = [&] {
        QVERIFY2(server.start(), qPrintable(server.failure()));
        QVERIFY(client(server).download("large").body == large);
        QCOMPARE(client(server).download("small").body, QByteArray("small bytes"));
        server.stop();
    };

    const QStringList copy = QStringList { "copy", "--s3-part-size", "5M" } + storageArguments();
    ServerProcess::Run run = server.command(copy);
    QVERIFY2(run.exitCode == 0, run.err.constData());
    const QStringList keys = m_s3.keys(m_prefix + "/files/");
    QCOMPARE(keys.size(), 2);
    const QDir files(m_dir->path() + "/data/files");
    for (const QString &name : files.entryList(QDir::Files))
        QVERIFY(QFile::remove(files.filePath(name)));
    server.setStorage(storageArguments());
    downloadsMatch();

    // Each file is checked where it arrives.
    QString small;
    for (const QString &key : keys) {
        if (m_s3.request("GET", m_s3.bucket() + "/" + key).body == "small bytes")
            small = key;
    }
    QCOMPARE(m_s3.request("PUT", m_s3.bucket() + "/" + small, "SMALL bytes").status, 200L);
    run = server.command(copy + QStringList { "--to-folder" });
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.err.contains("does not match its hash"), run.err.constData());
    QCOMPARE(m_s3.request("PUT", m_s3.bucket() + "/" + small, "small bytes").status, 200L);
    run = server.command(copy + QStringList { "--to-folder" });
    QVERIFY2(run.exitCode == 0, run.err.constData());
    server.setStorage({});
    downloadsMatch();
}

void ObjectStorageTest::deadCopysUploadIsAbortedOnceItsLeaseRunsOut()
{
    ServerProcess server(m_dir->path() + "/data");
    QCOMPARE(server.account("adduser", "alice", "alice-pass"), 0);
    QVERIFY2(server.start(), qPrintable(server.failure()));
    QCOMPARE(client(server).upload("large", ServiceClient::randomBytes(6 << 20)).status, 200);
    server.stop();

    // The copy dies while its second part is on the way.
    FaultRelay relay(static_cast<quint16>(QUrl(m_s3.endpoint()).port()));
    relay.arm("partNumber=2&", FaultRelay::Fault::Stall, FaultRelay::When::AfterForwarding);
    QStringList arguments = QStringList { "copy", "--s3-part-size", "5M", "--s3-upload-lease", "1" }
        + storageArguments();
    arguments[arguments.indexOf("--s3-endpoint") + 1]
        = QStringLiteral("http://127.0.0.1:%1").arg(relay.port());
    QProcess copy;
    copy.start(ServerProcess::program(), arguments + QStringList { "--data", server.dataFolder() });
    QVERIFY(QTest::qWaitFor([&relay] { return relay.fired(); }, 30000));
    // Time for its lease to reach the database.
    QTest::qWait(500);
    copy.kill();
    QVERIFY(copy.waitForFinished(10000));
    relay.cutStalled();
    const auto uploading = [this] {
        return m_s3.request("GET", m_s3.bucket() + "?uploads=").body.contains("<Upload>");
    };
    QVERIFY(uploading());

    // Not a day later, as an upload of no lease.
    server.setStorage(storageArguments());
    QVERIFY2(server.start({ "--sweep-every", "0.2" }), qPrintable(server.failure()));
    QVERIFY(QTest::qWaitFor([&] { return !uploading(); }, 20000));
}

void ObjectStorageTest::prefixBelongsToOneService()
{
    auto first = startServer("first");
    QVERIFY(first->port() != 0);
    QCOMPARE(client(*first).upload("kept", "kept bytes").status, 200);
    first->stop();

    // Another database on the same prefix would take the first one's objects
    // for strays.
    ServerProcess second(m_dir->path() + "/second");
    second.setStorage(storageArguments());
    QVERIFY(!second.start());
    QVERIFY2(second.failure().contains("holds the files of another database"),
             qPrintable(second.failure()));
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 1);

    // The first service starts again on its own prefix.
    QVERIFY2(first->start(), qPrintable(first->failure()));
    QCOMPARE(client(*first).download("kept").body, QByteArray("kept bytes"));
}

void ObjectStorageTest::storeDownAnswers503ThenRecovers()
{
    auto server = startServer("data", { "--s3-part-size", "5M", "--sweep-every", "0.2" });
    QVERIFY(server->port() != 0);
    ServiceClient alice = client(*server);
    QCOMPARE(alice.upload("before", "before the outage").status, 200);
    const QString health = server->url("/health");
    QCOMPARE(ServiceClient::get(health).status, 200);

    // An upload whose first part is in the store when the store goes away.
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", static_cast<quint16>(server->port()));
    QVERIFY(socket.waitForConnected(10000));
    const QByteArray document = ServiceClient::document("cut") + "-|+";
    const QByteArray file = ServiceClient::randomBytes(12 << 20);
    socket.write("POST /action/file/quorvupload?username=alice&password=alice-pass&access_id=0"
                 " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: "
                 + QByteArray::number(document.size() + file.size()) + "\r\n\r\n" + document
                 + file.left(7 << 20));
    const QDeadlineTimer sent(30000);
    while (!partsInProgress() && !sent.hasExpired())
        QTest::qWait(100);
    QVERIFY(partsInProgress());

    m_s3.stopGateway();
    socket.write(file.mid(7 << 20));
    while (!socket.canReadLine() && socket.state() == QAbstractSocket::ConnectedState)
        QVERIFY(socket.waitForReadyRead(30000));
    QVERIFY2(socket.readLine().startsWith("HTTP/1.1 503"), "the cut upload is not answered 503");
    // Sweeps that fail while the store is away leave the server serving.
    QVERIFY(server->waitForLog("sweep failed"));
    QCOMPARE(ServiceClient::get(health).status, 503);
    QCOMPARE(alice.upload("during", "during the outage").status, 503);
    QCOMPARE(alice.download("before").status, 503);
    QCOMPARE(alice.ids(), QList<QByteArray> { "before" });

    QVERIFY2(m_s3.startGateway(), qPrintable(m_s3.failure()));
    QCOMPARE(ServiceClient::get(health).status, 200);
    // The cut upload's abort, which the store could not take, is made now,
    // not a day later.
    const QDeadlineTimer aborted(30000);
    while (partsInProgress() && !aborted.hasExpired())
        QTest::qWait(100);
    QVERIFY(!partsInProgress());
    QCOMPARE(alice.upload("during", "after the outage").status, 200);
    QCOMPARE(alice.download("before").body, QByteArray("before the outage"));
    QCOMPARE(alice.ids(), (QList<QByteArray> { "before", "during" }));
    QCOMPARE(m_s3.keys(m_prefix + "/files/").size(), 2);
    QVERIFY(QDir(m_dir->path() + "/data/tmp").entryList(QDir::Files).isEmpty());
}

void ObjectStorageTest::migrateHashesTheFilesInTheBucket()
{
    // A service from before hashes were kept, with its files in the bucket.
    const QString data = m_dir->path() + "/data";
    const QString fixture
        = qEnvironmentVariable("KEYCRATE_SOURCE_DIR") + "/tests/server/fixtures/sqlite-v1";
    QVERIFY(QDir().mkpath(data));
    QVERIFY(QFile::copy(fixture + "/events.sqlite", data + "/events.sqlite"));
    const QDir files(fixture + "/files");
    for (const QString &name : files.entryList(QDir::Files)) {
        QFile file(files.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString key = m_s3.bucket() + "/" + m_prefix + "/files/" + name;
        QCOMPARE(m_s3.request("PUT", key, file.readAll()).status, 200L);
    }
    ServerProcess server(data);
    server.setStorage(storageArguments());

    // A store that does not answer is no lost file: nothing changes.
    m_s3.stopGateway();
    ServerProcess::Run run = server.command({ "migrate" });
    QVERIFY2(m_s3.startGateway(), qPrintable(m_s3.failure()));
    QCOMPARE(run.exitCode, 1);

    run = server.command({ "migrate" });
    QVERIFY2(run.exitCode == 0 && run.out.contains("from schema version 1")
                 && run.out.contains("Hashed 4 stored files"),
             (run.out + run.err).constData());
    QVERIFY2(server.start(), qPrintable(server.failure()));
    const QByteArray notes = "first line\nsecond line\n";
    const Fetched fetched = fetch(server, "{11111111-1111-1111-1111-111111111111}");
    QCOMPARE(fetched.body, notes);
    const QByteArray digest
        = QCryptographicHash::hash(notes, QCryptographicHash::Sha256).toBase64();
    QVERIFY2(fetched.head.contains("Repr-Digest: sha-256=:" + digest + ":"),
             fetched.head.constData());
}

void ObjectStorageTest::transfersTakeTurnsWithinTheBufferBudget()
{
    // Room for two small transfers' buffers and no shared blocks: the rest
    // wait their turn, and every one arrives whole.
    auto server = startServer("data", { "--s3-buffers", "1M" });
    QVERIFY(server->port() != 0);
    ServiceClient alice = client(*server);
    QList<ServiceClient::Request> uploads;
    QList<ServiceClient::Request> downloads;
    QList<QByteArray> files;
    for (int i = 0; i < 12; ++i) {
        const QByteArray id = "crowd-" + QByteArray::number(i);
        files.append(ServiceClient::randomBytes(300000 + i));
        uploads.append(alice.uploadRequest(id, files.back()));
        downloads.append(alice.downloadRequest(id));
    }
    for (const HttpClient::Reply &reply : ServiceClient::sendAll(uploads))
        QVERIFY2(reply.status == 200, qPrintable(reply.error));
    const QList<HttpClient::Reply> fetched = ServiceClient::sendAll(downloads);
    for (int i = 0; i < fetched.size(); ++i)
        QVERIFY(fetched[i].status == 200 && fetched[i].body == files[i]);
    QVERIFY(server->stop());
    const QByteArray log = server->log();
    const qsizetype at = log.indexOf("held at most ");
    QVERIFY2(at >= 0, log.constData());
    const QList<QByteArray> words = log.mid(at).split(' ');
    QVERIFY(words[3].toLongLong() > 0);
    QVERIFY(words[3].toLongLong() <= 1 << 20);
    QCOMPARE(words[5], QByteArray::number(1 << 20));
    // The line formed: some waited.
    QVERIFY(words[9].toInt() > 0);
}

void ObjectStorageTest::budgetComesBackWhateverBreaks()
{
    // Every fault, with room for one transfer's buffers and then with shared
    // blocks too: a share or a block never given back would leave the next
    // transfers waiting in line until they give up.
    FaultRelay relay(static_cast<quint16>(QUrl(m_s3.endpoint()).port()));
    const QString endpoint = QStringLiteral("http://127.0.0.1:%1").arg(relay.port());
    auto server = startServer("data", { "--s3-endpoint", endpoint });
    QVERIFY(server->port() != 0);
    auto alice = std::make_unique<ServiceClient>(server->url(""), "alice", "alice-pass");
    const QByteArray mark = "<the bytes where the store breaks>";
    QByteArray large = ServiceClient::randomBytes(8 << 20);
    large.replace(3 << 20, mark.size(), mark);
    QCOMPARE(alice->upload("large", large).status, 200);
    const QByteArray files = "/" + m_s3.bucket().toUtf8() + "/" + m_prefix.toUtf8() + "/files/";

    const auto connect = [&server](const QByteArray &head, int readBuffer = 0) {
        auto socket = std::make_unique<QTcpSocket>();
        if (readBuffer > 0) {
            socket->setReadBufferSize(readBuffer);
            socket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        }
        socket->connectToHost("127.0.0.1", static_cast<quint16>(server->port()));
        socket->waitForConnected(10000);
        socket->write(head);
        socket->waitForBytesWritten(10000);
        return socket;
    };
    const auto downloading = [&](const QByteArray &id, const QByteArray &range = {},
                                 bool answered = true) {
        auto socket
            = connect("POST /action/file/quorvdownload?username=alice&password=alice-pass"
                      "&extguid="
                          + id + " HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n"
                          + (range.isEmpty() ? "" : "Range: bytes=" + range + "\r\n") + "\r\n",
                      1);
        if (answered)
            socket->waitForReadyRead(10000);
        return socket;
    };
    const auto uploading = [&](const QByteArray &framing) {
        return connect("POST /action/file/quorvupload?username=alice&password=alice-pass"
                       "&access_id=0 HTTP/1.1\r\nHost: x\r\n"
                       + framing + "\r\n\r\n");
    };
    const QByteArray piece = ServiceClient::randomBytes(1 << 20);
    int checks = 0;
    // Room for two downloads' buffers and no shared blocks.
    bool tight = false;

    const std::vector<std::pair<const char *, std::function<void()>>> faults = {
        { "client closes mid-download", [&] { downloading("large")->abort(); } },
        { "client closes mid-range", [&] { downloading("large", "100-7000000")->abort(); } },
        { "client stops reading, then goes",
          [&] {
              auto socket = downloading("large");
              QTest::qWait(500);
              socket->abort();
          } },
        { "client drops an upload of known length",
          [&] {
              auto socket = uploading("Content-Length: 9000000");
              socket->write(ServiceClient::document("cut") + "-|+" + piece);
              socket->waitForBytesWritten(10000);
              QTest::qWait(300);
              socket->abort();
          } },
        { "client drops an upload waiting for its turn",
          [&] {
              auto first = downloading("large");
              auto second = downloading("large");
              auto socket = uploading("Content-Length: 9000000");
              socket->write(ServiceClient::document("waiting") + "-|+" + piece);
              socket->waitForBytesWritten(10000);
              QTest::qWait(300);
              socket->abort();
              first->abort();
              second->abort();
          } },
        { "client drops a chunked upload",
          [&] {
              auto socket = uploading("Transfer-Encoding: chunked");
              const QByteArray body = ServiceClient::document("cut") + "-|+" + piece + piece;
              socket->write(QByteArray::number(body.size(), 16) + "\r\n" + body + "\r\n");
              socket->waitForBytesWritten(10000);
              QTest::qWait(300);
              socket->abort();
          } },
        { "store cut mid-upload",
          [&] {
              relay.arm(mark, FaultRelay::Fault::Cut, FaultRelay::When::AfterForwarding);
              QCOMPARE(alice->upload("cut", large).status, 503);
              QVERIFY(relay.fired());
          } },
        { "store cut mid-download",
          [&] {
              relay.arm(mark, FaultRelay::Fault::Cut, FaultRelay::When::AfterForwarding);
              QVERIFY(fetch(*server, "large").exitCode != 0);
              QVERIFY(relay.fired());
          } },
        { "store stalls mid-download, client goes",
          [&] {
              relay.arm(mark, FaultRelay::Fault::Stall, FaultRelay::When::AfterForwarding);
              auto socket = downloading("large");
              QVERIFY(QTest::qWaitFor([&] { return relay.fired(); }, 10000));
              socket->abort();
          } },
        { "store answering 503",
          [&] {
              relay.arm("GET " + files, FaultRelay::Fault::Refuse,
                        FaultRelay::When::BeforeForwarding, {}, true);
              QCOMPARE(alice->download("large").status, 503);
              relay.arm({}, FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding);
              QVERIFY(server->log().contains("file in s3://quorvane/" + m_prefix.toUtf8()
                                             + ": status 503"));
          } },
        { "damaged object",
          [&] {
              const QStringList before = m_s3.keys(m_prefix + "/files/");
              QCOMPARE(alice->upload("damaged", piece + piece).status, 200);
              QStringList keys = m_s3.keys(m_prefix + "/files/");
              for (const QString &key : before)
                  keys.removeAll(key);
              QCOMPARE(keys.size(), 1);
              QByteArray changed = piece + piece;
              changed[changed.size() - 1] = static_cast<char>(~changed.back());
              QCOMPARE(m_s3.request("PUT", m_s3.bucket() + "/" + keys.first(), changed).status,
                       200L);
              QVERIFY(fetch(*server, "damaged").exitCode != 0);
              QCOMPARE(alice->remove("damaged").status, 200);
          } },
        { "remove racing a download",
          [&] {
              QCOMPARE(alice->upload("raced", large).status, 200);
              auto socket = downloading("raced");
              QCOMPARE(alice->remove("raced").status, 200);
              socket->abort();
          } },
        { "client gone while waiting in line",
          [&] {
              auto first = downloading("large");
              auto second = downloading("large");
              const QByteArray refusal = "no room for another transfer in the buffer budget";
              const qsizetype refused = server->log().count(refusal);
              auto third = downloading("large", {}, false);
              QTest::qWait(300);
              third->abort();
              // While the two still hold the budget, the third leaves the
              // line as its client goes, not once the line's patience ran out.
              if (tight)
                  QVERIFY(QTest::qWaitFor([&] { return server->log().count(refusal) > refused; },
                                          10000));
              first->abort();
              second->abort();
          } },
    };
    QVERIFY(server->stop());
    for (const char *budget : { "1M", "4M" }) {
        tight = QByteArray(budget) == "1M";
        QVERIFY(server->start({ "--s3-endpoint", endpoint, "--s3-buffers", budget }));
        alice = std::make_unique<ServiceClient>(server->url(""), "alice", "alice-pass");
        for (const auto &[fault, run] : faults) {
            run();
            if (QTest::currentTestFailed())
                QFAIL(fault);
            // The next transfers have their turn at once, not once a wait
            // for the budget gave up.
            const QByteArray id = "check-" + QByteArray::number(++checks);
            const QByteArray file = ServiceClient::randomBytes(300000);
            QVERIFY2(alice->upload(id, file).status == 200, fault);
            QVERIFY2(alice->download(id).body == file, fault);
            QVERIFY2(alice->download("large").body == large, fault);
        }
        // A download under way when the server stops ends whole first.
        const QString out = m_dir->path() + "/stopping-" + budget;
        QProcess curl;
        curl.start("curl",
                   { "-sS", "--limit-rate", "4M", "-o", out, "-X", "POST", "--data-binary", "x",
                     server->url("/action/file/quorvdownload?username=alice"
                                 "&password=alice-pass&extguid=large") });
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(out).size() > 0; }, 10000));
        QVERIFY(server->stop());
        QVERIFY(curl.waitForFinished(30000) && curl.exitCode() == 0);
        QCOMPARE(QFileInfo(out).size(), large.size());
        const QByteArray log = server->log();
        const qsizetype at = log.lastIndexOf("bytes of buffers;");
        QVERIFY2(log.indexOf("; 0 bytes and 0 shared blocks still held", at) > at,
                 log.mid(at).constData());
    }
}

QTEST_GUILESS_MAIN(ObjectStorageTest)
#include "tst_ObjectStorage.moc"
