// The object store's XML answers, and a sweep of a store whose answers
// mislead: keys outside the prefix, no times, a listing that never ends.

#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/ObjectStore.h"
#include "store/S3Answer.h"

#include <QTemporaryDir>
#include <QTest>
#include <arpa/inet.h>
#include <atomic>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace QuorvaneServer;

namespace {

// Answers a request whose line holds one of the given marks with its page
// (the first that matches; Endless: a body that never ends), any other with
// 204, and keeps the request lines.
class StandInStore
{
public:
    using Pages = std::vector<std::pair<std::string, std::string>>;
    static constexpr const char *Endless = "";

    explicit StandInStore(Pages pages)
        : m_pages(std::move(pages))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr *>(&address), length) != 0
            || ::listen(m_listener, 8) != 0
            || ::getsockname(m_listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            qFatal("cannot listen");
        port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~StandInStore()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    // A client of this store, with the bucket the tests name.
    S3Client::Settings settings() const
    {
        S3Client::Settings settings;
        settings.endpoint = "http://127.0.0.1:" + std::to_string(port);
        settings.bucket = "bucket";
        settings.accessKey = "key";
        settings.secretKey = "secret";
        return settings;
    }

    // The DELETE request lines, without their protocol.
    std::vector<std::string> deletes()
    {
        std::vector<std::string> found;
        for (const std::string &line : requests()) {
            if (line.rfind("DELETE ", 0) == 0)
                found.push_back(line.substr(0, line.find(' ', 7)));
        }
        return found;
    }

    std::vector<std::string> requests()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_requests;
    }
    int port = 0;

private:
    bool send(int fd, const std::string &data)
    {
        return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL)
            == static_cast<ssize_t>(data.size());
    }
    bool answer(int fd, const std::string &line)
    {
        for (const auto &[mark, page] : m_pages) {
            if (line.find(mark) == std::string::npos)
                continue;
            if (!page.empty())
                return send(fd,
                            "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size())
                                + "\r\n\r\n" + page);
            if (!send(fd, "HTTP/1.1 200 OK\r\nContent-Length: 1099511627776\r\n\r\n"))
                return false;
            const std::string piece(1 << 16, '<');
            while (!m_stop && send(fd, piece)) { }
            return false;
        }
        return send(fd, "HTTP/1.1 204 No Content\r\n\r\n");
    }
    void serve()
    {
        pollfd listener = { m_listener, POLLIN, 0 };
        while (!m_stop) {
            if (::poll(&listener, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            std::string in;
            char buffer[4096];
            // One connection at a time: an idle one is dropped for a new one.
            pollfd both[] = { { fd, POLLIN, 0 }, listener };
            bool open = true;
            while (open && !m_stop && ::poll(both, 2, 50) >= 0 && !(both[1].revents & POLLIN)) {
                if (!(both[0].revents & POLLIN))
                    continue;
                const ssize_t got = ::read(fd, buffer, sizeof buffer);
                if (got <= 0)
                    break;
                in.append(buffer, static_cast<size_t>(got));
                for (size_t end; open && (end = in.find("\r\n\r\n")) != std::string::npos;) {
                    const std::string line = in.substr(0, in.find("\r\n"));
                    in.erase(0, end + 4);
                    {
                        std::lock_guard<std::mutex> lock(m_mutex);
                        m_requests.push_back(line);
                    }
                    open = answer(fd, line);
                }
            }
            ::close(fd);
        }
    }

    Pages m_pages;
    int m_listener = -1;
    std::atomic<bool> m_stop { false };
    std::mutex m_mutex;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

// A sweep of the prefix "data" in that store, where no row names anything.
void sweep(const S3Client::Settings &settings)
{
    QTemporaryDir home;
    DataFolder folder(home.path().toStdString());
    ObjectStore objects(folder, "s3://bucket/data", settings);
    objects.sweep({}, [](const std::string &) { return false; });
}

} // namespace

class S3AnswerTest : public QObject
{
    Q_OBJECT

private slots:
    void readsValuesDecodedAndInPlace();
    void sweepRemovesOnlyWhatItCanJudgeAndStopsAListingThatRepeats();
    void answersKeptInMemoryEndAndDownloadsDoNot();
    void sweepAbortsStaleUploadsOfEveryPageAndStopsAtARepeatedMarker();
};

void S3AnswerTest::readsValuesDecodedAndInPlace()
{
    const S3Answer listing(
        "<?xml version=\"1.0\"?><ListBucketResult><IsTruncated>true</IsTruncated>"
        "<NextContinuationToken>a&amp;b=</NextContinuationToken>"
        "<Contents><Key>p/a&amp;&lt;&#x4e2d;</Key><Owner><Key>no</Key></Owner>"
        "<LastModified>2026-01-02T03:04:05.000Z</LastModified></Contents>"
        "<Contents><Key>p/b</Key><LastModified>never</LastModified></Contents>"
        "<Key>outside</Key></ListBucketResult>");
    QVERIFY(listing.valid());
    QVERIFY(listing.truncated());
    QCOMPARE(listing.nextToken(), std::string("a&b="));
    QCOMPARE(listing.objects().size(), size_t(2));
    QCOMPARE(listing.objects()[0].key, std::string("p/a&<\xe4\xb8\xad"));
    QCOMPARE(listing.objects()[0].lastModified, time_t(1767323045));
    QCOMPARE(listing.objects()[1].lastModified, time_t(0));

    const S3Answer uploads("<ListMultipartUploadsResult><UploadIdMarker>x</UploadIdMarker><Upload>"
                           "<Key>p/c</Key><UploadId>u&amp;1</UploadId>"
                           "<Initiated>2026-01-02T03:04:05Z</Initiated></Upload>"
                           "</ListMultipartUploadsResult>");
    QCOMPARE(uploads.uploads().size(), size_t(1));
    QCOMPARE(uploads.uploads()[0].uploadId, std::string("u&1"));
    QCOMPARE(uploads.uploads()[0].initiated, time_t(1767323045));
    QVERIFY(uploads.uploadId().empty());
    QCOMPARE(S3Answer("<I><Key>k</Key><UploadId>2~x&lt;y</UploadId></I>").uploadId(),
             std::string("2~x<y"));
    QCOMPARE(S3Answer("<Error><Code>SlowDown</Code></Error>").code(), std::string("SlowDown"));

    // Cut short, not XML, or with entities of its own: nothing of it counts.
    for (const char *broken :
         { "<R><Contents><Key>p/a</Key></Contents>", "<html>502</html> trailing", "",
           "<!DOCTYPE R [<!ENTITY e \"p/a\">]><R><Contents><Key>&e;</Key></Contents></R>" }) {
        const S3Answer answer(broken);
        QVERIFY2(!answer.valid() && answer.objects().empty(), broken);
    }
}

void S3AnswerTest::sweepRemovesOnlyWhatItCanJudgeAndStopsAListingThatRepeats()
{
    StandInStore store(
        StandInStore::Pages { { "list-type=2",
                                "<ListBucketResult><IsTruncated>true</IsTruncated>"
                                "<NextContinuationToken>again</NextContinuationToken>"
                                "<Contents><Key>otherprefix-orphan</Key>"
                                "<LastModified>2000-01-01T00:00:00Z</LastModified></Contents>"
                                "<Contents><Key>data/files/untimed</Key></Contents>"
                                "<Contents><Key>data/files/stale</Key>"
                                "<LastModified>2000-01-01T00:00:00Z</LastModified></Contents>"
                                "</ListBucketResult>" } });
    QVERIFY_THROWS_EXCEPTION(DatabaseError, sweep(store.settings()));
    // The page came twice before the repeated token told.
    const std::vector<std::string> expected(2, "DELETE /bucket/data/files/stale");
    QCOMPARE(store.deletes(), expected);
}

void S3AnswerTest::answersKeptInMemoryEndAndDownloadsDoNot()
{
    // A page of a thousand long keys is more than a MiB, and still read.
    std::string page = "<ListBucketResult>";
    for (int i = 0; i < 1000; ++i)
        page += "<Contents><Key>long/" + std::string(1000, 'k') + std::to_string(i)
            + "</Key><LastModified>2026-01-02T03:04:05.000Z</LastModified><Size>1</Size>"
              "<StorageClass>STANDARD</StorageClass></Contents>";
    page += "</ListBucketResult>";
    StandInStore store({ { "prefix=long", page },
                         { "list-type=2", StandInStore::Endless },
                         { "uploads=", StandInStore::Endless },
                         { "/big", StandInStore::Endless } });
    S3Client::Settings settings = store.settings();
    settings.attempts = 1;
    const S3Client client(settings);
    S3Client::Request request;
    request.query = "list-type=2&prefix=long";
    const S3Client::Response listed = client.send(request);
    QVERIFY(listed.ok());
    QCOMPARE(S3Answer(listed.body).objects().size(), size_t(1000));

    request.method = "POST";
    request.key = "files/new";
    request.query = "uploads=";
    const S3Client::Response endless = client.send(request);
    QCOMPARE(endless.status, 0L);
    QVERIFY(endless.body.empty());
    QVERIFY2(endless.failure.find("longer than") != std::string::npos, endless.failure.c_str());

    // A download streams past that bound until its reader stops it.
    S3Client::Request download;
    download.key = "big";
    uint64_t taken = 0;
    download.sink = [&taken](const char *, size_t size) { return (taken += size) < (32u << 20); };
    client.send(download);
    QVERIFY(taken >= 32u << 20);

    // A sweep meeting an endless listing fails as the store's fault.
    try {
        sweep(settings);
        QFAIL("the sweep took an endless listing");
    } catch (const DatabaseError &error) {
        QVERIFY2(error.unavailable(), error.what());
    }
}

void S3AnswerTest::sweepAbortsStaleUploadsOfEveryPageAndStopsAtARepeatedMarker()
{
    const auto page = [](const std::string &key) {
        return "<ListMultipartUploadsResult><IsTruncated>true</IsTruncated>"
               "<NextKeyMarker>data/files/a</NextKeyMarker>"
               "<NextUploadIdMarker>u&amp;1</NextUploadIdMarker><Upload><Key>data/files/"
            + key + "</Key><UploadId>" + key
            + "</UploadId><Initiated>2000-01-01T00:00:00Z</Initiated></Upload>"
              "</ListMultipartUploadsResult>";
    };
    // The second page hands out the first one's markers again.
    StandInStore store(StandInStore::Pages {
        { "list-type=2", "<ListBucketResult></ListBucketResult>" },
        { "key-marker=data%2Ffiles%2Fa&prefix=data%2Ffiles%2F&upload-id-marker=u%261&uploads=",
          page("b") },
        { "uploads=", page("a") } });
    sweep(store.settings());
    const std::vector<std::string> expected { "DELETE /bucket/data/files/a?uploadId=a",
                                              "DELETE /bucket/data/files/b?uploadId=b" };
    QCOMPARE(store.deletes(), expected);
}

QTEST_GUILESS_MAIN(S3AnswerTest)
#include "tst_S3Answer.moc"
