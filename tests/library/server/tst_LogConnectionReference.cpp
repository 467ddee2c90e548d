#include "ConnectionOwner.h"
#include "CurrentUser.h"
#include "FetchedDigests.h"
#include "FileEvent.h"
#include "ForwardProxy.h"
#include "KeyFile.h"
#include "KeyRing.h"
#include "LogConnection.h"
#include "ReferenceServer.h"
#include "SettingsStore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

using namespace Quorvane;

// LogConnection against our reference backup server: what it uploads comes
// back in the event list and as the same bytes, and goes away when removed.
class TestLogConnectionReference : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir folder;
    std::unique_ptr<ReferenceServer> server;
    std::unique_ptr<LogConnection> connection;
    std::unique_ptr<ConnectionOwner> owner;
    RecordingUser user;
    // Values a naive query would mangle.
    const QByteArray password = "s3cret &=+#% ü";
    QByteArray payload;

    QList<int> run(const std::function<int()> &operation) { return owner->run(operation); }

    EventMap readAll()
    {
        EventMap out;
        const QList<int> codes = run([&] { return connection->readEvents(out, true, 0, -1); });
        if (codes != QList<int> { 77, 0 })
            qWarning() << "read gave" << codes;
        return out;
    }

    EventElement event() const
    {
        return fileEvent("0b7a4c1e-2f3d-4e5f-8a9b-0c1d2e3f4a5b", "File [Tax & fees = 2+2 ü.pdf]",
                         folder.filePath("files/Tax & fees = 2+2 ü.pdf"), "application/pdf");
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo(ServerProcess::program()).isExecutable(),
                 qPrintable(ServerProcess::program() + " is missing"));
        server = std::make_unique<ReferenceServer>(folder.filePath("server"));
        QVERIFY(server->addAccount("ann", password));
        QVERIFY2(server->start(), qPrintable(server->failure()));

        SettingsStore settings;
        settings.clear();
        settings.setValue("server_url", server->url());
        settings.writeCredentials("ann", password);
        settings.writeDataPath(folder.filePath("data").toUtf8());
        settings.writeInt("refresh_days", 1);

        // Binary bytes holding the separator, line ends and zero bytes.
        for (int i = 0; i < 3 * 1024 * 1024 + 17; ++i)
            payload += char((quint32(i) * 131u + quint32(i) / 4096u) % 256u);
        payload.insert(1000, "-|+\r\n\0event\n");
        QDir().mkpath(folder.filePath("files"));
        QFile file(QString::fromUtf8(event().getPath()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(payload);
    }

    void init()
    {
        connection = std::make_unique<LogConnection>();
        owner = std::make_unique<ConnectionOwner>(*connection);
        setCurrentUser(&user);
    }

    void cleanup()
    {
        setCurrentUser(nullptr);
        owner.reset();
        connection.reset();
    }

    void uploadListDownloadRemove()
    {
        EventElement sent = event();
        QCOMPARE(run([&] { return connection->saveEvent(sent); }), (QList<int> { 77, 0 }));

        const EventMap listed = readAll();
        QVERIFY(listed.contains(sent.getId()));
        const EventElement back = listed.value(sent.getId());
        QCOMPARE(back.getName(), sent.getName());
        QCOMPARE(back.getPath(), QByteArray("Tax & fees = 2+2 ü.pdf"));
        QCOMPARE(back.getType(), sent.getType());
        QCOMPARE(back.getDescription(), sent.getDescription());
        QCOMPARE(back.getRecordTime(), sent.getRecordTime());
        QVERIFY(back.listed);

        EventElement wanted = back;
        wanted.kind = 3;
        QCOMPARE(run([&] { return connection->downloadEvent(wanted); }), (QList<int> { 77, 0 }));
        QFile holding(folder.filePath("data/holding/" + QString::fromUtf8(sent.getId())));
        QVERIFY(holding.open(QIODevice::ReadWrite));
        QVERIFY(holding.readAll() == payload);
        // The download vouches for what it wrote, and for nothing written since.
        QCOMPARE(FetchedDigests::instance().of(holding.handle()),
                 QCryptographicHash::hash(payload, QCryptographicHash::Sha256));
        QVERIFY(holding.write("!") == 1 && holding.flush());
        QVERIFY(FetchedDigests::instance().of(holding.handle()).isEmpty());

        QCOMPARE(run([&] { return connection->removeEvent(wanted); }), (QList<int> { 77, 0 }));
        QVERIFY(!readAll().contains(sent.getId()));
        // Gone from the server: its download is refused.
        QCOMPARE(run([&] { return connection->downloadEvent(wanted); }), (QList<int> { 77, 99 }));
    }

    void aSealedUploadComesBackWhole()
    {
        // The file is sealed while the transfer reads it.
        const QString keyFile = KeyRing::keyFilePath();
        QVERIFY(QDir().mkpath(QFileInfo(keyFile).absolutePath()));
        QVERIFY(KeyFile::save(keyFile, KeyFile::wrap(MasterKey::generate(), "pass")));
        QCOMPARE(KeyRing::instance().unlock("pass"), int(KeyRing::Unlocked));
        // An id of its own: the process remembers sealed ids.
        EventElement sent = event();
        sent.setId("5e41ed00-2f3d-4e5f-8a9b-0c1d2e3f4a5b");
        const QList<int> saved = run([&] { return connection->saveEvent(sent); });
        QByteArray storedName;
        for (const ReferenceServer::StoredEvent &stored : server->events())
            storedName = stored.id == sent.getId() ? stored.name : storedName;
        EventElement wanted = readAll().value(sent.getId());
        wanted.kind = 3;
        const QList<int> fetched = run([&] { return connection->downloadEvent(wanted); });
        QFile holding(folder.filePath("data/holding/" + QString::fromUtf8(sent.getId())));
        const QByteArray back = holding.open(QIODevice::ReadOnly) ? holding.readAll() : "";
        // Vouched for by the plain bytes' digest, taken as they were written.
        const QByteArray vouched = FetchedDigests::instance().of(holding.handle());
        run([&] { return connection->removeEvent(wanted); });
        QFile::remove(keyFile);
        QCOMPARE(saved, (QList<int> { 77, 0 }));
        QVERIFY2(storedName.startsWith("Encrypted ["), storedName.constData());
        QCOMPARE(fetched, (QList<int> { 77, 0 }));
        QVERIFY(back == payload);
        QCOMPARE(vouched, QCryptographicHash::hash(payload, QCryptographicHash::Sha256));
    }

    void searchByTitle()
    {
        EventElement sent = event();
        sent.setId("5d6e7f80-9a0b-4c1d-8e2f-3a4b5c6d7e8f");
        sent.setPath("");
        QCOMPARE(run([&] { return connection->saveEvent(sent); }), (QList<int> { 77, 0 }));

        connection->searchFields = "name";
        connection->searchText = "fees = 2+2";
        QVERIFY(readAll().contains(sent.getId()));
        connection->searchText = "fees = 3";
        QVERIFY(!readAll().contains(sent.getId()));
    }

    void aHeavyUsersList()
    {
        // Tens of thousands of events in memory after their bytes, the answer
        // left under its own name only.
        const int count = 50000;
        QVERIFY(server->seedEvents("ann", count, QDateTime::currentSecsSinceEpoch()));
        const EventMap listed = readAll();
        QCOMPARE(std::count_if(listed.keyBegin(), listed.keyEnd(),
                               [](const QByteArray &id) { return id.startsWith("seed-"); }),
                 count);
        const EventElement last = listed.value("seed-" + QByteArray::number(count - 1));
        QCOMPARE(last.getName(), QByteArray("Event ") + QByteArray::number(count - 1));
        QCOMPARE(QDir(folder.filePath("data")).entryList({ "GetEvents*" }, QDir::Files),
                 QStringList { "GetEvents.ServerResponse.txt" });
    }

    void wrongPasswordIsALoginRefusal()
    {
        SettingsStore().writeCredentials("ann", "s3cret");
        EventMap out;
        QCOMPARE(run([&] { return connection->readEvents(out, true, 0, -1); }),
                 (QList<int> { 77, 100 }));
        EventElement sent = event();
        QCOMPARE(run([&] { return connection->saveEvent(sent); }), (QList<int> { 77, 100 }));
        SettingsStore().writeCredentials("ann", password);
    }

    void httpsWithThePrivateCa()
    {
        QTemporaryDir tls;
        QVERIFY(makeCertificates(tls.path()));
        ReferenceServer secure(tls.filePath("server"));
        QVERIFY(secure.addAccount("ann", password));
        QVERIFY2(secure.start({ "--tls-cert", tls.filePath("server.pem"), "--tls-key",
                                tls.filePath("server.key") }),
                 qPrintable(secure.failure()));
        const QString plainUrl = server->url();
        SettingsStore().setValue("server_url", secure.url());

        // Not trusted yet: the upload fails and the server keeps nothing.
        EventElement sent = event();
        QCOMPARE(run([&] { return connection->saveEvent(sent); }), (QList<int> { 77, 99 }));
        QVERIFY(user.messages.last().contains("certificate"));

        SettingsStore().setValue("server_ca_file", tls.filePath("ca.pem"));
        QVERIFY(!readAll().contains(sent.getId()));
        QCOMPARE(run([&] { return connection->saveEvent(sent); }), (QList<int> { 77, 0 }));
        EventElement wanted = readAll().value(sent.getId());
        QCOMPARE(wanted.getName(), sent.getName());
        wanted.kind = 3;
        QCOMPARE(run([&] { return connection->downloadEvent(wanted); }), (QList<int> { 77, 0 }));
        QFile holding(folder.filePath("data/holding/" + QString::fromUtf8(sent.getId())));
        QVERIFY(holding.open(QIODevice::ReadOnly));
        QVERIFY(holding.readAll() == payload);
        QCOMPARE(run([&] { return connection->removeEvent(wanted); }), (QList<int> { 77, 0 }));
        QVERIFY(!readAll().contains(sent.getId()));

        // Through a proxy: a tunnel for https, the request itself for http.
        ForwardProxy proxy;
        qputenv("https_proxy", proxy.url());
        qputenv("http_proxy", proxy.url());
        qunsetenv("no_proxy");
        qunsetenv("NO_PROXY");
        QCOMPARE(run([&] { return connection->saveEvent(sent); }), (QList<int> { 77, 0 }));
        QVERIFY(holding.remove());
        QCOMPARE(run([&] { return connection->downloadEvent(wanted); }), (QList<int> { 77, 0 }));
        QVERIFY(holding.open(QIODevice::ReadOnly));
        QVERIFY(holding.readAll() == payload);
        QCOMPARE(run([&] { return connection->removeEvent(wanted); }), (QList<int> { 77, 0 }));
        QVERIFY(!proxy.requestLines.isEmpty()); // curl may keep one tunnel for all
        for (const QByteArray &line : proxy.requestLines)
            QVERIFY(line.startsWith("CONNECT 127.0.0.1:"));
        const qsizetype tunnels = proxy.requestLines.size();

        SettingsStore settings;
        settings.remove("server_ca_file");
        settings.setValue("server_url", plainUrl);
        QVERIFY(!readAll().contains(sent.getId()));
        qunsetenv("https_proxy");
        qunsetenv("http_proxy");
        QCOMPARE(proxy.requestLines.size(), tunnels + 1);
        QVERIFY(proxy.requestLines.last().contains(" " + plainUrl.toUtf8() + "/"));
    }

private:
    // A CA made here and a certificate it signed for 127.0.0.1.
    static bool makeCertificates(const QString &dir)
    {
        const auto openssl = [&dir](const QStringList &arguments) {
            QProcess process;
            process.setWorkingDirectory(dir);
            process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            process.start("openssl", arguments);
            return process.waitForFinished(60000) && process.exitCode() == 0;
        };
        QFile extensions(dir + "/server.ext");
        if (!extensions.open(QIODevice::WriteOnly))
            return false;
        extensions.write("subjectAltName=IP:127.0.0.1\n");
        extensions.close();
        const QStringList key { "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes" };
        return openssl(QStringList { "req", "-x509" } + key
                       + QStringList { "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj",
                                       "/CN=Test CA" })
            && openssl(QStringList { "req" } + key
                       + QStringList { "-keyout", "server.key", "-out", "server.csr", "-subj",
                                       "/CN=127.0.0.1" })
            && openssl({ "x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                         "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile",
                         "server.ext" });
    }
};

QTEST_GUILESS_MAIN(TestLogConnectionReference)
#include "tst_LogConnectionReference.moc"
