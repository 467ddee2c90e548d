// quorvane-server under attack and at its limits, over real sockets.

#include "HttpClient.h"
#include "RawConnection.h"
#include "ServerProcess.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <memory>
#include <sys/resource.h>

namespace {

const QByteArray Login = "username=alice&password=alice-pass";

QByteArray document(const QByteArray &id)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>" + id
        + "</id><name><![CDATA[n]]></name><path><![CDATA[p.bin]]></path><type>t</type>"
          "<content><![CDATA[]]></content><description><![CDATA[]]></description>"
          "<recordTime>1000</recordTime><recordChanged>1000</recordChanged></event>-|+";
}

QByteArray uploadTarget(const QByteArray &login = Login)
{
    return "/action/file/quorvupload?" + login + "&access_id=0";
}

QByteArray eventTarget(const QByteArray &request, const QByteArray &id,
                       const QByteArray &login = Login)
{
    return "/action/file/quorv" + request + "?" + login + "&extguid=" + id;
}

QByteArray listTarget(const QByteArray &login = Login)
{
    return "/action/file/quorvget?" + login + "&starttime=0&endtime=4294967295";
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QByteArray reprDigest(const QByteArray &bytes)
{
    return "sha-256=:" + QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toBase64()
        + ":";
}

// One request on a fresh connection from source.
RawConnection::Response exchange(int port, const QByteArray &request,
                                 const char *source = "127.0.0.1")
{
    RawConnection connection;
    if (!connection.open(port, source))
        return {};
    connection.send(request);
    return connection.read();
}

qint64 peakMemoryKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot);
}

} // namespace

class ServerDefencesTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void framingRefusalsCloseAndSmuggleNothing();
    void rangesAndDigests();
    void damagedFileIsNeverSentWhole();
    void damagedBlockIsNeverSent();
    void hugeHeadLeavesMemoryFlat();
    void slowClientsAreDroppedWithoutStallingOthers();
    void slowButSteadyReaderIsServed();
    void slowButSteadyUploadIsTaken();
    void connectionLimitHoldsAgainstIdleFlood();
    void fewDescriptorsRefuseCleanly();
    void failedLoginsAreThrottledPerNameAndAddress();
    void fullDiskAnswers507AndStoresNothingHalf();
    void servesHttpsWithItsCertificate();
    void helpAndVersion();

private:
    bool start(const QStringList &options);
    int port() const { return m_server->port(); }
    QString data() const { return m_dir->path() + "/data"; }
    QByteArray upload(const QByteArray &id, const QByteArray &file);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ServerProcess> m_server;
};

void ServerDefencesTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_server = std::make_unique<ServerProcess>(data());
}

void ServerDefencesTest::cleanup()
{
    if (m_server && m_server->port() != 0)
        m_server->stop();
    m_server.reset();
    m_dir.reset();
}

bool ServerDefencesTest::start(const QStringList &options)
{
    if (m_server->account("adduser", "alice", "alice-pass") != 0)
        return false;
    if (!m_server->start(options)) {
        qWarning("%s", qPrintable(m_server->failure()));
        return false;
    }
    return true;
}

// The upload's Repr-Digest answer, or empty when it was not stored.
QByteArray ServerDefencesTest::upload(const QByteArray &id, const QByteArray &file)
{
    const auto reply = exchange(port(), rawPost(uploadTarget(), document(id) + file));
    return reply.status == 200 && reply.body == "OK saved\n" ? reply.headers.value("repr-digest")
                                                             : QByteArray();
}

void ServerDefencesTest::framingRefusalsCloseAndSmuggleNothing()
{
    QVERIFY(start({ "--max-body", "64K", "--linger", "1" }));
    QVERIFY(!upload("victim", "keep me").isEmpty());

    // Each request carries a delete of the victim where a server that misreads
    // the framing would take it for the next request.
    const QByteArray smuggled = rawPost(eventTarget("delete", "victim"), "x");
    const QByteArray upload = "/action/file/quorvupload?" + Login + "&access_id=0";
    const QByteArray list = listTarget();
    const QByteArray overLimit = document("big") + QByteArray(70 * 1024, 'x');
    const QByteArray chunked = "Transfer-Encoding: chunked\r\n";
    QByteArray oldChunked
        = rawPost(list, "0\r\n\r\n" + smuggled, chunked + "Connection: keep-alive\r\n", false);
    oldChunked.replace(oldChunked.indexOf("HTTP/1.1"), 8, "HTTP/1.0");
    const struct
    {
        const char *name;
        QByteArray request;
        int status;
    } cases[] = {
        { "chunked body over the limit",
          rawPost(upload,
                  QByteArray::number(overLimit.size(), 16) + "\r\n" + overLimit + "\r\n"
                      + QByteArray::number(smuggled.size(), 16) + "\r\n" + smuggled
                      + "\r\n0\r\n\r\n",
                  "Transfer-Encoding: chunked\r\n", false),
          413 },
        { "declared length over the limit", rawPost(upload, overLimit + smuggled, {}, true), 413 },
        { "length and chunked",
          rawPost(list, "0\r\n\r\n" + smuggled, "Transfer-Encoding: chunked\r\n"), 400 },
        { "chunked and length",
          rawPost(list, "0\r\n\r\n" + smuggled,
                  "Transfer-Encoding: chunked\r\nContent-Length: 5\r\n", false),
          400 },
        { "gzip coding", rawPost(list, "NoData" + smuggled, "Transfer-Encoding: gzip\r\n", false),
          400 },
        { "two equal lengths",
          rawPost(list, "NoData" + smuggled, "Content-Length: 6\r\nContent-Length: 6\r\n", false),
          400 },
        { "two lengths",
          rawPost(list, "NoData" + smuggled, "Content-Length: 6\r\nContent-Length: 7\r\n", false),
          400 },
        { "length list", rawPost(list, "NoData" + smuggled, "Content-Length: 6, 6\r\n", false),
          400 },
        { "signed length", rawPost(list, "NoData" + smuggled, "Content-Length: +6\r\n", false),
          400 },
        { "no length", rawPost(list, {}, {}, false) + smuggled, 411 },
        { "chunked on HTTP/1.0", oldChunked, 400 },
        { "chunk size overflows", rawPost(list, "10000000000000000\r\n" + smuggled, chunked, false),
          400 },
        { "chunk size not hex",
          rawPost(list, "-6\r\nNoData\r\n0\r\n\r\n" + smuggled, chunked, false), 400 },
        { "upload with a wrong password",
          rawPost(uploadTarget("username=alice&password=wrong"), document("x") + smuggled), 200 },
    };
    for (const auto &test : cases) {
        const auto reply = exchange(port(), test.request);
        QVERIFY2(reply.status == test.status,
                 qPrintable(QStringLiteral("%1: %2").arg(test.name).arg(reply.status)));
        QVERIFY2(reply.closed, test.name);
    }
    const auto victim = exchange(port(), rawPost(eventTarget("download", "victim"), "x"));
    QCOMPARE(victim.status, 200);
    QCOMPARE(victim.body, QByteArray("keep me"));
    QVERIFY(!m_server->log().contains("quorvdelete"));
}

void ServerDefencesTest::rangesAndDigests()
{
    QVERIFY(start({}));
    const QByteArray file = randomBytes(2600 * 1024 + 3);
    QCOMPARE(upload("ranged", file), reprDigest(file));
    QVERIFY(!upload("empty", {}).isEmpty());
    // Past 16 MiB the upload moves in larger buffers: the same digest, checks and
    // clean-up hold there too.
    const QByteArray large = randomBytes(17 * 1024 * 1024 + 5);
    QCOMPARE(upload("large", large), reprDigest(large));
    QCOMPARE(exchange(port(), rawPost(eventTarget("download", "large"), "x")).body, large);
    // The sender's own digest of the file is checked: a file that differs is not kept.
    const QByteArray other = reprDigest("other");
    for (const QByteArray &sent : { file, large }) {
        for (const auto &[digest, status] : { std::pair { reprDigest(sent).chopped(2) + ":", 200 },
                                              { "sha-512=:AAAA:, " + other, 400 },
                                              { reprDigest(sent) + ", " + other, 400 } }) {
            const auto reply = exchange(port(),
                                        rawPost(uploadTarget(), document("told") + sent,
                                                "Repr-Digest: " + digest + "\r\n"));
            QCOMPARE(reply.status, status);
            QCOMPARE(exchange(port(), rawPost(eventTarget("download", "told"), "x")).status,
                     status == 200 ? 200 : 404);
            QCOMPARE(exchange(port(), rawPost(eventTarget("delete", "told"), "x")).status,
                     status == 200 ? 200 : 404);
        }
    }
    // Cut in the middle, a large one leaves nothing either.
    {
        RawConnection cut;
        QVERIFY(cut.open(port()));
        QVERIFY(cut.send(
            rawPost(uploadTarget() + "&title=cut", document("cut") + large.left(4 << 20),
                    "Content-Length: " + QByteArray::number(large.size() + 400) + "\r\n", false)));
    }
    QVERIFY(m_server->waitForLog("title=cut 400"));
    QCOMPARE(exchange(port(), rawPost(eventTarget("download", "cut"), "x")).status, 404);
    QVERIFY(entries(data() + "/tmp").isEmpty());

    const QByteArray size = QByteArray::number(file.size());
    const struct
    {
        QByteArray range;
        int status;
        qsizetype first;
        qsizetype length;
    } cases[] = {
        { {}, 200, 0, file.size() },
        { "bytes=0-99", 206, 0, 100 },
        { "bytes=1048570-2097160", 206, 1048570, 1048591 },
        { "bytes=300000-", 206, 300000, file.size() - 300000 },
        { "bytes=-10", 206, file.size() - 10, 10 },
        { "bytes=5-999999999", 206, 5, file.size() - 5 },
        { "bytes=" + size + "-", 416, 0, 0 },
        { "bytes=0-1,5-6", 200, 0, file.size() },
        { "items=0-1", 200, 0, file.size() },
        { "bytes=9-2", 200, 0, file.size() },
    };
    // One kept-alive connection for all of them.
    RawConnection connection;
    QVERIFY(connection.open(port()));
    for (const auto &test : cases) {
        const QByteArray range
            = test.range.isEmpty() ? QByteArray() : "Range: " + test.range + "\r\n";
        QVERIFY(connection.send(rawPost(eventTarget("download", "ranged"), "x", range)));
        const auto reply = connection.read();
        QCOMPARE(reply.status, test.status);
        QVERIFY(!reply.closed);
        if (test.status == 416) {
            QCOMPARE(reply.headers.value("content-range"), "bytes */" + size);
            continue;
        }
        QCOMPARE(reply.headers.value("repr-digest"), reprDigest(file));
        QVERIFY(reply.body == file.mid(test.first, test.length));
        if (test.status == 206)
            QCOMPARE(reply.headers.value("content-range"),
                     QByteArray("bytes %1-%2/")
                             .replace("%1", QByteArray::number(test.first))
                             .replace("%2", QByteArray::number(test.first + test.length - 1))
                         + size);
    }
    QVERIFY(connection.send(rawPost(eventTarget("download", "empty"), "x")));
    const auto empty = connection.read();
    QCOMPARE(empty.status, 200);
    QCOMPARE(empty.headers.value("repr-digest"), reprDigest({}));
    QVERIFY(empty.body.isEmpty());
}

void ServerDefencesTest::damagedFileIsNeverSentWhole()
{
    QVERIFY(start({}));
    const QByteArray file = randomBytes(700 * 1024);
    QVERIFY(!upload("damaged", file).isEmpty());
    const QStringList stored = entries(data() + "/files");
    QCOMPARE(stored.size(), 1);
    QVERIFY(!upload("sound", file).isEmpty());

    QFile damaged(data() + "/files/" + stored.first());
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    damaged.seek(file.size() - 1);
    damaged.write(QByteArray(1, static_cast<char>(~file.back())));
    damaged.close();

    for (const QByteArray &range : { QByteArray(), QByteArray("Range: bytes=0-9\r\n") }) {
        const auto reply
            = exchange(port(), rawPost(eventTarget("download", "damaged"), "x", range));
        const qsizetype promised = reply.headers.value("content-length").toLongLong();
        QVERIFY(promised > 0);
        QVERIFY(reply.body.size() < promised);
        QVERIFY(reply.closed);
    }
    QVERIFY(m_server->waitForLog("no longer matches its hash"));
    QVERIFY(exchange(port(), rawPost(eventTarget("download", "sound"), "x")).body == file);
}

void ServerDefencesTest::damagedBlockIsNeverSent()
{
    QVERIFY(start({}));
    constexpr qsizetype Block = 1024 * 1024;
    const QByteArray file = randomBytes(3 * Block + 4096);
    QVERIFY(!upload("damaged", file).isEmpty());
    const QStringList stored = entries(data() + "/files");
    QCOMPARE(stored.size(), 1);
    QFile damaged(data() + "/files/" + stored.first());
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    damaged.seek(Block + 5);
    damaged.write(QByteArray(1, static_cast<char>(~file.at(Block + 5))));
    damaged.close();

    const struct
    {
        QByteArray range;
        qsizetype first;
        qsizetype length;
        // Whether the answer stays whole: it touches no damaged block.
        bool whole;
    } cases[] = {
        { {}, 0, Block, false },
        { "bytes=1048000-1049000", 1048000, Block - 1048000, false },
        { "bytes=1048600-1048700", 0, 0, false },
        { "bytes=2097200-3145800", 2097200, 3145800 - 2097200 + 1, true },
        { "bytes=-100", file.size() - 100, 100, true },
    };
    for (const auto &test : cases) {
        const QByteArray range
            = test.range.isEmpty() ? QByteArray() : "Range: " + test.range + "\r\n";
        const auto reply
            = exchange(port(), rawPost(eventTarget("download", "damaged"), "x", range));
        // A cut answer has no status: only its head's promise is known.
        QCOMPARE(reply.status, test.whole ? 206 : 0);
        QVERIFY(reply.headers.value("content-length").toLongLong() > test.length || test.whole);
        QCOMPARE(reply.closed, !test.whole);
        QCOMPARE(reply.body.size(), test.length);
        QVERIFY(reply.body == file.mid(test.first, test.length));
    }
    QVERIFY(m_server->waitForLog("no longer matches its hash in block 1"));

    // Cut at a block's end, every block left still matches: the length tells.
    QVERIFY(damaged.resize(2 * Block));
    QCOMPARE(exchange(port(), rawPost(eventTarget("download", "damaged"), "x")).status, 500);
}

void ServerDefencesTest::hugeHeadLeavesMemoryFlat()
{
    QVERIFY(start({}));
    const qint64 before = peakMemoryKiB(m_server->pid());
    QVERIFY(before > 0);

    RawConnection attacker;
    QVERIFY(attacker.open(port()));
    attacker.send("POST " + listTarget() + " HTTP/1.1\r\nX-Filler: ");
    const QByteArray megabyte(1 << 20, 'a');
    for (int i = 0; i < 100 && attacker.send(megabyte); ++i) { }
    const auto reply = attacker.read(10000);
    QVERIFY(reply.status == 431 || reply.closed);

    QVERIFY(peakMemoryKiB(m_server->pid()) - before < 64 * 1024);
    QCOMPARE(exchange(port(), rawPost(listTarget(), "NoData")).status, 200);
}

void ServerDefencesTest::slowClientsAreDroppedWithoutStallingOthers()
{
    QVERIFY(start({ "--head-timeout", "2", "--min-rate", "256K", "--rate-window", "1",
                    "--max-per-address", "100" }));
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 64; ++i) {
        slow.push_back(std::make_unique<RawConnection>());
        QVERIFY(slow.back()->open(port()));
        QVERIFY(slow.back()->send("POST /action/file/quorvget?"));
    }
    // Others are served at once while the slow ones hold their connections.
    HttpClient http;
    const QByteArray file = randomBytes(16 << 20);
    const auto stored = http.post(m_server->url(uploadTarget()), document("big") + file, 20000);
    QVERIFY2(stored.status == 200, qPrintable(stored.error + m_server->log()));
    QVERIFY(http.post(m_server->url(listTarget()), "NoData", 20000).body.contains("big"));
    for (const auto &connection : slow)
        QVERIFY(connection->waitClosed(10000));

    // A reader that stops reading a download is let go too.
    RawConnection stalled;
    QVERIFY(stalled.open(port(), "127.0.0.1", 4096));
    QVERIFY(stalled.send(rawPost(eventTarget("download", "big"), "x")));
    QVERIFY(m_server->waitForLog("closing a connection from 127.0.0.1", 20000));
    QVERIFY(stalled.waitClosed(20000));
}

// A download read at three times the minimum rate keeps going, though no
// whole piece of the file gets through within a window.
void ServerDefencesTest::slowButSteadyReaderIsServed()
{
    QVERIFY(start({ "--min-rate", "1K", "--rate-window", "3" }));
    QVERIFY(!upload("big", randomBytes(16 << 20)).isEmpty());
    RawConnection reader;
    QVERIFY(reader.open(port(), "127.0.0.1", 4096));
    QVERIFY(reader.send(rawPost(eventTarget("download", "big"), "x")));
    QVERIFY(reader.trickle(3 * 1024, 8000) > 0);
    // The kernel still hands over what it holds after a cut, so the log tells.
    QVERIFY2(!m_server->waitForLog("closing a connection", 1000), qPrintable(m_server->log()));
}

// An upload sent at four times the minimum rate is taken whole, though less
// comes within a window than a read of a large body waits for.
void ServerDefencesTest::slowButSteadyUploadIsTaken()
{
    QVERIFY(start({ "--min-rate", "4K", "--rate-window", "1" }));
    const QByteArray file = randomBytes(2 << 20);
    const QByteArray request = rawPost(uploadTarget(), document("slow") + file);
    RawConnection client;
    QVERIFY(client.open(port()));
    qsizetype at = request.size() - file.size() + 64 * 1024;
    QVERIFY(client.send(request.left(at)));
    for (int i = 0; i < 8; ++i, at += 4096) {
        QThread::msleep(250);
        QVERIFY(client.send(request.mid(at, 4096)));
    }
    QVERIFY(client.send(request.mid(at)));
    const auto reply = client.read();
    QVERIFY2(reply.status == 200, qPrintable(m_server->log()));
    QCOMPARE(reply.headers.value("repr-digest"), reprDigest(file));
}

void ServerDefencesTest::connectionLimitHoldsAgainstIdleFlood()
{
    struct rlimit limit;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
    // Two descriptors a connection, and some for the process.
    if (limit.rlim_max < 2200)
        QSKIP("the hard limit on open files is below 2200");
    limit.rlim_cur = limit.rlim_max;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0);

    QVERIFY(
        start({ "--max-connections", "1000", "--max-per-address", "5000", "--idle-timeout", "5" }));
    std::vector<std::unique_ptr<RawConnection>> idle;
    for (int i = 0; i < 1500; ++i) {
        idle.push_back(std::make_unique<RawConnection>());
        QVERIFY(idle.back()->open(port()));
    }
    // The connections past the limit are answered 503 as they are accepted.
    int refused = 0;
    std::vector<bool> answered(idle.size());
    const QDeadlineTimer deadline(8000);
    while (refused < 500 && !deadline.hasExpired()) {
        for (size_t i = 0; i < idle.size(); ++i) {
            if (!answered[i] && idle[i]->read(0).status == 503) {
                answered[i] = true;
                ++refused;
            }
        }
        QThread::msleep(20);
    }
    // A few of the first thousand may have been let go already on a busy machine.
    QVERIFY2(refused > 400 && refused <= 500, qPrintable(QString::number(refused)));
    // The idle ones end by themselves, and the server serves again.
    for (const auto &connection : idle)
        QVERIFY(connection->waitClosed(15000));
    QCOMPARE(exchange(port(), rawPost(listTarget(), "NoData")).status, 200);
}

// Started with few descriptors, the server takes its hard limit and refuses
// what the descriptors cannot bear at once, instead of leaving it unanswered.
void ServerDefencesTest::fewDescriptorsRefuseCleanly()
{
    struct rlimit limit;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
    if (QStandardPaths::findExecutable("prlimit").isEmpty() || limit.rlim_max < 300)
        QSKIP("no prlimit, or a hard limit on open files below 300");
    m_server->setLauncher("prlimit", { "--nofile=64:300", "--" });
    QVERIFY(start({ "--max-per-address", "5000", "--idle-timeout", "30" }));
    QFile limits(QStringLiteral("/proc/%1/limits").arg(m_server->pid()));
    QVERIFY(limits.open(QIODevice::ReadOnly));
    QVERIFY(limits.readAll().simplified().contains("Max open files 300 300"));

    std::vector<std::unique_ptr<RawConnection>> idle(150);
    for (auto &connection : idle) {
        connection = std::make_unique<RawConnection>();
        QVERIFY(connection->open(port()));
    }
    int refused = 0;
    std::vector<bool> answered(idle.size());
    const QDeadlineTimer deadline(8000);
    while (refused < 48 && !deadline.hasExpired()) {
        for (size_t i = 0; i < idle.size(); ++i) {
            if (!answered[i] && idle[i]->read(0).status == 503) {
                answered[i] = true;
                ++refused;
            }
        }
        QThread::msleep(20);
    }
    QCOMPARE(refused, 48);
    // (300 less a reserve for the process) / 2 per connection.
    QVERIFY(m_server->log().contains("at most 102 connections"));
    QCOMPARE(exchange(port(), rawPost(listTarget(), "NoData")).status, 503);
    idle.clear();
    QVERIFY(QTest::qWaitFor(
        [this] { return exchange(port(), rawPost(listTarget(), "NoData")).status == 200; }));
}

void ServerDefencesTest::failedLoginsAreThrottledPerNameAndAddress()
{
    QVERIFY(start(
        { "--login-failures", "3", "--login-failures-per-address", "6", "--login-delay", "60" }));
    QCOMPARE(m_server->account("adduser", "bob", "bob-pass"), 0);
    const auto list = [this](const QByteArray &login, const char *source) {
        return exchange(port(), rawPost(listTarget(login), "NoData"), source);
    };
    const auto refusedLogin = [](const RawConnection::Response &reply) {
        return reply.body.startsWith("~**login error");
    };

    for (int i = 0; i < 3; ++i) {
        const auto reply = list("username=alice&password=guess", "127.0.0.1");
        QVERIFY(refusedLogin(reply));
        QVERIFY(!reply.headers.contains("retry-after"));
    }
    // The right password is refused too: no password is checked while throttled.
    const auto throttled = list(Login, "127.0.0.1");
    QVERIFY(refusedLogin(throttled));
    QVERIFY(throttled.headers.value("retry-after").toInt() > 0);
    const auto download = exchange(port(), rawPost(eventTarget("download", "x"), "x"));
    QCOMPARE(download.status, 403);
    QVERIFY(download.headers.contains("retry-after"));
    // Another address gets in at once, and so does another name from this one.
    QVERIFY(!refusedLogin(list(Login, "127.0.0.2")));
    QVERIFY(!refusedLogin(list("username=bob&password=bob-pass", "127.0.0.1")));

    // Guessing across names slows the address for every name.
    for (int i = 0; i < 6; ++i)
        QVERIFY(refusedLogin(
            list("username=user" + QByteArray::number(i) + "&password=x", "127.0.0.3")));
    const auto acrossNames = list("username=bob&password=bob-pass", "127.0.0.3");
    QVERIFY(refusedLogin(acrossNames));
    QVERIFY(acrossNames.headers.contains("retry-after"));
    QVERIFY(!refusedLogin(list("username=bob&password=bob-pass", "127.0.0.4")));
}

void ServerDefencesTest::fullDiskAnswers507AndStoresNothingHalf()
{
    // A small file system of the server's own, in a mount namespace of its own.
    QString quoted = data();
    quoted.replace("'", "'\\''");
    m_server->setLauncher("unshare",
                          { "-Urm", "sh", "-c",
                            "mkdir -p '" + quoted + "' && mount -t tmpfs -o size=3m tmpfs '"
                                + quoted
                                + "' && printf 'alice-pass\\n' | \"$0\" adduser alice --data '"
                                + quoted + "' > /dev/null && exec \"$0\" \"$@\"" });
    if (!m_server->start({}))
        QSKIP(qPrintable("cannot mount a small tmpfs here: " + m_server->failure()));
    // Seen from inside the server's namespace.
    const QString root = QStringLiteral("/proc/%1/root").arg(m_server->pid()) + data();

    QVERIFY(!upload("fits", randomBytes(512 * 1024)).isEmpty());
    const auto tooBig
        = exchange(port(), rawPost(uploadTarget(), document("too-big") + randomBytes(4 << 20)));
    QCOMPARE(tooBig.status, 507);
    // Also for a large upload, written in larger buffers.
    const auto large
        = exchange(port(), rawPost(uploadTarget(), document("large") + randomBytes(17 << 20)));
    QCOMPARE(large.status, 507);
    QVERIFY(entries(root + "/tmp").isEmpty());

    // Near the edge the file may fit and the database not: either way, all or nothing.
    int full = 0;
    for (int i = 0; i < 40 && full < 3; ++i) {
        const QByteArray id = "edge" + QByteArray::number(i);
        const auto reply
            = exchange(port(), rawPost(uploadTarget(), document(id) + randomBytes(96 * 1024)));
        QVERIFY2(reply.status == 200 || reply.status == 507, reply.body.constData());
        full += reply.status == 507 ? 1 : 0;
        const auto listed = exchange(port(), rawPost(listTarget(), "NoData"));
        QCOMPARE(listed.body.contains("\n" + id + "\n"), reply.status == 200);
        QCOMPARE(entries(root + "/files").size(), listed.body.count("\nevent\n"));
        QVERIFY(entries(root + "/tmp").isEmpty());
    }
    QVERIFY(full > 0);
}

void ServerDefencesTest::servesHttpsWithItsCertificate()
{
    const QString dir = m_dir->path();
    const auto openssl = [&dir](const QStringList &arguments) {
        QProcess process;
        process.setWorkingDirectory(dir);
        process.start("openssl", arguments);
        return process.waitForFinished(60000) && process.exitCode() == 0;
    };
    QFile extensions(dir + "/server.ext");
    QVERIFY(extensions.open(QIODevice::WriteOnly));
    extensions.write("subjectAltName=IP:127.0.0.1\n");
    extensions.close();
    QVERIFY(
        openssl({ "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                  "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Test CA" }));
    QVERIFY(openssl({ "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                      "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1" }));
    QVERIFY(openssl({ "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                      "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile",
                      "server.ext" }));
    QVERIFY(start({ "--tls-cert", dir + "/server.pem", "--tls-key", dir + "/server.key" }));
    QVERIFY(m_server->url("/").startsWith("https://"));

    const auto curl = [&](const QByteArray &target, const QStringList &body) {
        QProcess process;
        process.start("curl",
                      QStringList { "-sS", "--cacert", dir + "/ca.pem", "-X", "POST" } + body
                          + QStringList { m_server->url(target) });
        process.waitForFinished(60000);
        return process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray("failed");
    };
    const QByteArray file = randomBytes(2600 * 1024);
    QFile body(dir + "/body");
    QVERIFY(body.open(QIODevice::WriteOnly));
    body.write(document("secure") + file);
    body.close();
    QCOMPARE(curl(uploadTarget(), { "--data-binary", "@" + body.fileName() }),
             QByteArray("OK saved\n"));
    QVERIFY(curl(listTarget(), { "--data-binary", "NoData" }).contains("\nsecure\n"));
    QVERIFY(curl(eventTarget("download", "secure"), { "--data-binary", "x" }) == file);
    QVERIFY(curl(eventTarget("download", "secure"),
                 { "--data-binary", "x", "-H", "Range: bytes=1048000-2097200" })
            == file.mid(1048000, 2097200 - 1048000 + 1));
    QCOMPARE(curl(eventTarget("delete", "secure"), { "--data-binary", "x" }),
             QByteArray("OK deleted\n"));
    // Without the CA the certificate is not trusted; plain HTTP is not served.
    QProcess untrusted;
    untrusted.start("curl", { "-sS", "-X", "POST", "-d", "x", m_server->url(listTarget()) });
    QVERIFY(untrusted.waitForFinished(60000));
    QVERIFY(untrusted.exitCode() != 0);
    QVERIFY(exchange(port(), rawPost(listTarget(), "NoData")).status == 0);
}

void ServerDefencesTest::helpAndVersion()
{
    QProcess process;
    process.start(ServerProcess::program(), { "--help" });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    const QByteArray help = process.readAllStandardOutput();
    for (const char *option :
         { "--max-head", "--head-timeout", "--min-rate", "--max-connections", "--max-per-address",
           "--idle-timeout", "--tls-cert", "--login-failures" })
        QVERIFY2(help.contains(option), option);
    process.start(ServerProcess::program(), { "--version" });
    QVERIFY(process.waitForFinished(10000));
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(process.readAllStandardOutput().startsWith("quorvane-server "));
}

QTEST_GUILESS_MAIN(ServerDefencesTest)

#include "tst_ServerDefences.moc"
