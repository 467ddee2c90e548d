// The server's reading of upload bodies and query strings, and the file an
// upload goes into, without HTTP.

#include "http/EventDocument.h"
#include "http/QueryString.h"
#include "http/UploadBody.h"
#include "store/BlockSums.h"
#include "store/DataFolder.h"
#include "store/FolderStore.h"
#include "store/TempFile.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <malloc.h>
#include <mutex>
#include <sys/resource.h>

using namespace QuorvaneServer;

namespace {

const QByteArray Document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>id-1</id>"
                            "<name><![CDATA[a -|+ b </event> c]]></name>"
                            "<path><![CDATA[report.pdf]]></path><type>application/pdf</type>"
                            "<content><![CDATA[]]></content>"
                            "<description><![CDATA[caf\xe9 \xe2\x82\xac]]></description>"
                            "<recordTime>1700000000</recordTime>"
                            "<recordChanged>1700000001</recordChanged></event>";

// Keeps what it takes; holds the writer thread until opened, and fails the
// failAt'th take.
class HeldSink : public TempFile::Sink
{
public:
    explicit HeldSink(int failAt = 0)
        : m_failAt(failAt)
    {
    }
    int take(const char *data, size_t size) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_open; });
        if (++m_takes == m_failAt)
            return ENOSPC;
        taken.append(data, static_cast<qsizetype>(size));
        return 0;
    }
    void cancel() override { open(); }
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }

    QByteArray taken;

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
    int m_takes = 0;
    int m_failAt;
};

std::string bytes(const QByteArray &data)
{
    return std::string(data.constData(), static_cast<size_t>(data.size()));
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class UploadParsingTest : public QObject
{
    Q_OBJECT

private slots:
    void splitsBodyWhateverTheChunks_data();
    void splitsBodyWhateverTheChunks();
    void documentEndsAtRootElement_data();
    void documentEndsAtRootElement();
    void documentIsHeldOnlyAsItsValues();
    void refusesBrokenBodies_data();
    void refusesBrokenBodies();
    void queuedBuffersArriveInOrder();
    void writerFailureReachesSync();
    void fileHoldsWhatWasWritten_data();
    void fileHoldsWhatWasWritten();
    void decodesQueryValues();
    void logTargetHidesAccount();
};

void UploadParsingTest::splitsBodyWhateverTheChunks_data()
{
    QTest::addColumn<int>("chunk");
    for (const int chunk : { 1, 2, 3, 5, 64, 333, 4096, 1 << 20 })
        QTest::addRow("%d", chunk) << chunk;
}

void UploadParsingTest::splitsBodyWhateverTheChunks()
{
    QFETCH(int, chunk);
    QTemporaryDir dir;
    DataFolder folder(bytes(dir.path().toUtf8()));
    FolderStore files(folder);

    // The file begins with the separator and holds the end tag: only the
    // parser's position can tell where the document ends.
    QByteArray file = "-|+</event>-|+";
    for (int i = 0; i < 70000; ++i)
        file += static_cast<char>(i * 7);
    const QByteArray body = Document + "-|+" + file;

    UploadBody upload(files, 1024 * 1024);
    for (qsizetype at = 0; at < body.size(); at += chunk)
        QVERIFY(upload.consume(body.constData() + at,
                               static_cast<size_t>(qMin<qsizetype>(chunk, body.size() - at))));
    QVERIFY2(upload.finish(), upload.failure().c_str());

    const EventRecord &event = upload.event();
    QCOMPARE(event.id, std::string("id-1"));
    QCOMPARE(event.name, std::string("a -|+ b </event> c"));
    QCOMPARE(event.path, std::string("report.pdf"));
    QCOMPARE(event.type, std::string("application/pdf"));
    QCOMPARE(event.content, std::string());
    // Bytes come back as sent, UTF-8 or not.
    QCOMPARE(event.description, std::string("caf\xe9 \xe2\x82\xac"));
    QCOMPARE(event.recordTime, std::string("1700000000"));
    QCOMPARE(event.recordChanged, std::string("1700000001"));

    QFile stored(QString::fromStdString(upload.file().path()));
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), file);
    QCOMPARE(upload.file().size(), static_cast<uint64_t>(file.size()));
}

void UploadParsingTest::documentEndsAtRootElement_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("empty root") << QByteArray("<event/>");
    QTest::newRow("prolog and comment") << QByteArray("<?xml version=\"1.0\"?>\n<!-- c -->\n<event>"
                                                      "<id>x</id></event>");
    QTest::newRow("space in end tag") << QByteArray("<event><id>x</id></event  >");
    QTest::newRow("unknown element") << QByteArray("<event><extra>1</extra><id>x</id></event>");
}

void UploadParsingTest::documentEndsAtRootElement()
{
    QFETCH(QByteArray, document);
    EventDocument parser(4096);
    const QByteArray input = document + "-|+<event>tail";
    QCOMPARE(parser.feed(input.constData(), static_cast<size_t>(input.size())),
             EventDocument::State::Complete);
    QCOMPARE(parser.takeTrailing(), std::string("-|+<event>tail"));
}

// Bytes the process holds from malloc, small and large.
qint64 allocated()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

void UploadParsingTest::documentIsHeldOnlyAsItsValues()
{
    // A slow client keeps its unfinished document on the server: each such
    // upload should cost the values it holds, not a copy of the whole text too.
    const size_t size = 1 << 20;
    const std::string value(size - 100, 'v');
    const std::string text = "<event><name><![CDATA[" + value + "]]></name><id>x</id></event>-|+";
    EventDocument parser(size);
    const qint64 before = allocated();
    for (size_t at = 0; at < text.size(); at += 16384) {
        const size_t piece = std::min<size_t>(16384, text.size() - at);
        if (at + piece == text.size()) {
            const qint64 beside = allocated() - before - qint64(parser.record().name.capacity());
            QVERIFY2(beside < qint64(size / 4), qPrintable(QString::number(beside)));
        }
        QVERIFY(parser.feed(text.data() + at, piece) != EventDocument::State::Invalid);
    }
    QCOMPARE(parser.state(), EventDocument::State::Complete);
    QCOMPARE(parser.record().name, value);
    QCOMPARE(parser.takeTrailing(), std::string("-|+"));
}

void UploadParsingTest::refusesBrokenBodies_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::newRow("garbage") << QByteArray("hello-|+") << 400;
    QTest::newRow("wrong separator") << Document + "+|-data" << 400;
    QTest::newRow("short separator") << Document + "-|" << 400;
    QTest::newRow("document only") << Document << 400;
    QTest::newRow("half document") << Document.left(100) << 400;
    QTest::newRow("id with slash") << QByteArray("<event><id>a/b</id></event>-|+") << 400;
    QTest::newRow("too long") << "<event><id>x</id><name>" + QByteArray(5000, 'n')
            + "</name></event>-|+"
                              << 400;
}

void UploadParsingTest::refusesBrokenBodies()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QTemporaryDir dir;
    DataFolder folder(bytes(dir.path().toUtf8()));
    FolderStore files(folder);

    UploadBody upload(files, 4096);
    upload.consume(body.constData(), static_cast<size_t>(body.size()));
    QVERIFY(!upload.finish());
    QCOMPARE(upload.failureStatus(), status);
    QVERIFY(!upload.failure().empty());
    QVERIFY(QDir(dir.path() + "/tmp").isEmpty());
}

void UploadParsingTest::queuedBuffersArriveInOrder()
{
    // Past the size where buffers grow, filled in place as the server does,
    // with the writer held until the file holds the reader back.
    QByteArray content(20 * 1024 * 1024 + 12345, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) >> 9);
    auto owned = std::make_unique<HeldSink>();
    HeldSink *sink = owned.get();
    TempFile file(std::move(owned));
    std::atomic<bool> woken { false };
    bool heldBack = false;
    for (qsizetype at = 0; at < content.size();) {
        if (!file.whenReady([&woken] { woken = true; })) {
            heldBack = true;
            sink->open();
            QTRY_VERIFY(woken.load());
            continue;
        }
        const auto room = file.room();
        QVERIFY(room.second > 0);
        const size_t size = std::min<size_t>(room.second, static_cast<size_t>(content.size() - at));
        std::copy_n(content.constData() + at, size, room.first);
        file.commit(size);
        at += static_cast<qsizetype>(size);
    }
    QVERIFY(heldBack);
    QVERIFY(file.sync());
    QCOMPARE(file.size(), static_cast<uint64_t>(content.size()));
    QVERIFY(sink->taken == content);
    QCOMPARE(QByteArray::fromStdString(file.digest()),
             QCryptographicHash::hash(content, QCryptographicHash::Sha256));
}

void UploadParsingTest::writerFailureReachesSync()
{
    auto owned = std::make_unique<HeldSink>(2);
    owned->open();
    TempFile file(std::move(owned));
    const QByteArray block(64 * 1024, 'x');
    // Writes after the failure may still be taken; none hangs.
    for (int i = 0; i < 64; ++i)
        file.write(block.constData(), static_cast<size_t>(block.size()));
    QVERIFY(!file.sync());
    QCOMPARE(file.error(), ENOSPC);
    QVERIFY(file.digest().empty());

    // A large file whose writes fail while its other thread still hashes.
    QTemporaryDir dir;
    struct rlimit before;
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &before) == 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = before;
    limited.rlim_cur = 8 * 1024 * 1024;
    QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
    {
        TempFile large(bytes(dir.filePath("large.part").toUtf8()), 64 * 1024 * 1024);
        for (int i = 0; i < 1024; ++i)
            large.write(block.constData(), static_cast<size_t>(block.size()));
        QVERIFY(!large.sync());
        QCOMPARE(large.error(), EFBIG);
    }
    ::setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, oldHandler);
    QVERIFY(entries(dir.path()).isEmpty());
}

void UploadParsingTest::fileHoldsWhatWasWritten_data()
{
    QTest::addColumn<bool>("announced");
    QTest::newRow("size unknown") << false;
    // Hashed on a thread of its own beside the writing one.
    QTest::newRow("announced large") << true;
}

void UploadParsingTest::fileHoldsWhatWasWritten()
{
    // Past the size where buffers grow, in writes that never line up with
    // the buffers or the pieces the file is written in.
    QByteArray content(20 * 1024 * 1024 + 12345, Qt::Uninitialized);
    for (qsizetype i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>((i * 131) >> 9 ^ i);
    QFETCH(bool, announced);
    QTemporaryDir dir;
    const QString path = dir.filePath("upload.part");
    {
        TempFile file(bytes(path.toUtf8()), announced ? static_cast<uint64_t>(content.size()) : 0);
        for (qsizetype at = 0, step = 1; at < content.size(); at += step, step = step * 7 % 400009)
            QVERIFY(file.write(content.constData() + at,
                               static_cast<size_t>(std::min(step, content.size() - at))));
        QVERIFY(file.sync());
        QCOMPARE(QByteArray::fromStdString(file.digest()),
                 QCryptographicHash::hash(content, QCryptographicHash::Sha256));
        BlockSums whole;
        whole.add(content.constData(), static_cast<size_t>(content.size()));
        QVERIFY(file.blockSums() == whole.finish());
        QFile written(path);
        QVERIFY(written.open(QIODevice::ReadOnly));
        QVERIFY(written.readAll() == content);
    }
    QVERIFY(!QFile::exists(path));
}

void UploadParsingTest::decodesQueryValues()
{
    const QueryString query("/action/file/quorvget?username=x%20y&z&password=a+b%2B%zz%4"
                            "&empty=&username=second");
    QCOMPARE(query.value("username"), std::string("x y"));
    QCOMPARE(query.value("password"), std::string("a+b+%zz%4"));
    QVERIFY(query.has("z"));
    QVERIFY(query.has("empty"));
    QCOMPARE(query.value("empty"), std::string());
    QVERIFY(!query.has("starttime"));
    QVERIFY(!QueryString("/action/file/quorvget").has("username"));
}

void UploadParsingTest::logTargetHidesAccount()
{
    QCOMPARE(QueryString::forLog("/action/file/quorvupload?username=al%69ce&password=s3cret"
                                 "&access_id=0&title=A\x01\xc3\xa9",
                                 { "username", "password" }),
             std::string("/action/file/quorvupload?username=*&password=*&access_id=0"
                         "&title=A%01%C3%A9"));
    // A key written encoded is still recognised.
    QCOMPARE(QueryString::forLog("/p?pass%77ord=x", { "password" }),
             std::string("/p?pass%77ord=*"));
}

QTEST_GUILESS_MAIN(UploadParsingTest)

#include "tst_UploadParsing.moc"
