// The README's nginx configuration in front of two servers on one PostgreSQL
// database: TLS, the body limit, health, a server that goes down, and logs
// without passwords.

#include "PostgresCluster.h"
#include "ServerProcess.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <memory>
#include <sys/prctl.h>

namespace {

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QByteArray readmeNginxBlock()
{
    QFile readme(qEnvironmentVariable("KEYCRATE_SOURCE_DIR") + "/README.md");
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = readme.readAll();
    const qsizetype section = text.indexOf("### Several servers as one service");
    const qsizetype start = text.indexOf("```nginx\n", section);
    const qsizetype end = text.indexOf("\n```", start + 9);
    return section < 0 || start < 0 || end < 0 ? QByteArray()
                                               : text.mid(start + 9, end - start - 9);
}

} // namespace

class LoadBalancerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void eventsGoThroughEitherServer();
    void bodyLimitRefusesAtTheProxy();
    void serviceGoesOnWithOneServerDown();
    void logsHoldNoPassword();

private:
    bool startNginx();
    // curl over HTTPS through nginx: the status, with the answer in *body.
    int curl(const QByteArray &target, const QByteArray &upload = {}, QByteArray *body = nullptr,
             bool get = false);
    static QByteArray document(const QByteArray &id);

    PostgresCluster m_postgres;
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QTemporaryDir> m_proxyFolder;
    std::unique_ptr<ServerProcess> m_one;
    std::unique_ptr<ServerProcess> m_two;
    QProcess m_nginx;
    int m_port = 0;
};

QByteArray LoadBalancerTest::document(const QByteArray &id)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>" + id
        + "</id><name><![CDATA[x]]></name><path><![CDATA[x]]></path><type></type><content><!"
          "[CDATA[]]></content><description><![CDATA[]]></description><recordTime>1000</"
          "recordTime><recordChanged>1000</recordChanged></event>";
}

void LoadBalancerTest::initTestCase()
{
    QVERIFY2(m_postgres.start(), qPrintable(m_postgres.failure()));
    const QString database = m_postgres.newDatabase();
    QVERIFY2(!database.isEmpty(), qPrintable(m_postgres.failure()));
    m_data = std::make_unique<QTemporaryDir>();
    const QString folder = m_data->path() + "/data";
    m_one = std::make_unique<ServerProcess>(folder, database);
    m_two = std::make_unique<ServerProcess>(folder, database);
    QCOMPARE(m_one->command({ "account", "add", "alice" }, "alice-pass\n").exitCode, 0);
    for (ServerProcess *server : { m_one.get(), m_two.get() })
        QVERIFY2(server->start({ "--trusted-proxy", "127.0.0.1" }), qPrintable(server->failure()));
    QVERIFY(startNginx());
}

bool LoadBalancerTest::startNginx()
{
    // Under /tmp: nginx's workers run as "nobody" when the tests run as root.
    m_proxyFolder = std::make_unique<QTemporaryDir>("/tmp/quorvane-nginx-XXXXXX");
    const QString prefix = m_proxyFolder->path();
    QFile::setPermissions(prefix,
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadOther
                              | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup);
    QProcess openssl;
    openssl.start("openssl",
                  { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
                    "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    prefix + "/key.pem", "-out", prefix + "/cert.pem" });
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        qWarning("openssl: %s", openssl.readAllStandardError().constData());
        return false;
    }

    QByteArray block = readmeNginxBlock();
    m_port = freePort();
    const QList<std::pair<QByteArray, QByteArray>> replacements {
        { "server 10.0.0.11:8477", "server 127.0.0.1:" + QByteArray::number(m_one->port()) },
        { "server 10.0.0.12:8477", "server 127.0.0.1:" + QByteArray::number(m_two->port()) },
        { "listen 443 ssl;", "listen 127.0.0.1:" + QByteArray::number(m_port) + " ssl;" },
        { "/etc/ssl/quorvane/fullchain.pem", prefix.toUtf8() + "/cert.pem" },
        { "/etc/ssl/quorvane/privkey.pem", prefix.toUtf8() + "/key.pem" },
        { "client_max_body_size 16g;", "client_max_body_size 2m;" },
        { "/var/log/nginx/quorvane-access.log", prefix.toUtf8() + "/access.log" },
        { "/var/log/nginx/quorvane-error.log", prefix.toUtf8() + "/service-error.log" },
    };
    for (const auto &[from, to] : replacements) {
        if (!block.contains(from)) {
            qWarning("the README's nginx configuration has no \"%s\"", from.constData());
            return false;
        }
        block.replace(from, to);
    }
    const QByteArray paths = prefix.toUtf8();
    QFile conf(prefix + "/nginx.conf");
    if (!conf.open(QIODevice::WriteOnly))
        return false;
    conf.write("daemon off;\npid " + paths + "/nginx.pid;\nerror_log " + paths
               + "/error.log;\nworker_processes 1;\nevents { worker_connections 256; }\nhttp {\n"
                 "client_body_temp_path "
               + paths + "/body;\nproxy_temp_path " + paths + "/proxy;\nfastcgi_temp_path " + paths
               + "/fastcgi;\nuwsgi_temp_path " + paths + "/uwsgi;\nscgi_temp_path " + paths
               + "/scgi;\n" + block + "\n}\n");
    conf.close();

    m_nginx.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_nginx.setProcessChannelMode(QProcess::MergedChannels);
    m_nginx.start("/usr/sbin/nginx",
                  { "-p", prefix, "-c", prefix + "/nginx.conf", "-e", prefix + "/error.log" });
    const bool listening = QTest::qWaitFor(
        [this] {
            QTcpSocket probe;
            probe.connectToHost("127.0.0.1", static_cast<quint16>(m_port));
            return probe.waitForConnected(200) || m_nginx.state() == QProcess::NotRunning;
        },
        20000);
    if (!listening || m_nginx.state() != QProcess::Running) {
        QFile log(prefix + "/error.log");
        log.open(QIODevice::ReadOnly);
        qWarning("nginx did not start: %s %s", m_nginx.readAll().constData(),
                 log.readAll().constData());
        return false;
    }
    return true;
}

void LoadBalancerTest::cleanupTestCase()
{
    if (m_nginx.state() != QProcess::NotRunning) {
        m_nginx.terminate();
        if (!m_nginx.waitForFinished(10000))
            m_nginx.kill();
        m_nginx.waitForFinished(5000);
    }
}

int LoadBalancerTest::curl(const QByteArray &target, const QByteArray &upload, QByteArray *body,
                           bool get)
{
    const QString prefix = m_proxyFolder->path();
    QFile request(prefix + "/request");
    request.open(QIODevice::WriteOnly | QIODevice::Truncate);
    request.write(upload);
    request.close();
    QStringList arguments { "-sS", "--cacert",    prefix + "/cert.pem", "-o", prefix + "/answer",
                            "-w",  "%{http_code}" };
    if (!get)
        arguments << "-H"
                  << "Expect:"
                  << "--data-binary"
                  << "@" + prefix + "/request";
    arguments << QString("https://127.0.0.1:%1").arg(m_port) + QString::fromLatin1(target);
    QProcess process;
    process.start("curl", arguments);
    if (!process.waitForFinished(60000))
        return 0;
    if (body) {
        QFile answer(prefix + "/answer");
        answer.open(QIODevice::ReadOnly);
        *body = answer.readAll();
    }
    return process.readAllStandardOutput().toInt();
}

void LoadBalancerTest::eventsGoThroughEitherServer()
{
    const QByteArray account = "username=alice&password=alice-pass";
    QByteArray health;
    QCOMPARE(curl("/health", {}, &health, true), 200);
    QCOMPARE(health, QByteArray("OK\n"));

    QMap<QByteArray, QByteArray> files;
    for (int i = 0; i < 6; ++i) {
        const QByteArray id = "lb-" + QByteArray::number(i);
        files[id] = QByteArray(1 << 20, static_cast<char>('a' + i)) + id;
        QCOMPARE(curl("/action/file/quorvupload?" + account + "&access_id=0",
                      document(id) + "-|+" + files[id]),
                 200);
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QByteArray body;
        QCOMPARE(curl("/action/file/quorvdownload?" + account + "&extguid=" + it.key(),
                      document(it.key()), &body),
                 200);
        QVERIFY(body == it.value());
    }
    // nginx spread the requests over both servers.
    for (ServerProcess *server : { m_one.get(), m_two.get() })
        QVERIFY2(server->waitForLog("quorvupload"), server->log().constData());

    QByteArray list;
    QCOMPARE(
        curl("/action/file/quorvget?" + account + "&starttime=0&endtime=4294967295", {}, &list),
        200);
    QCOMPARE(list.count("\nevent\n"), 6);
    QCOMPARE(curl("/action/file/quorvdelete?" + account + "&extguid=lb-0", document("lb-0")), 200);
}

void LoadBalancerTest::bodyLimitRefusesAtTheProxy()
{
    const QByteArray id = "too-big";
    QCOMPARE(curl("/action/file/quorvupload?username=alice&password=alice-pass&access_id=0",
                  document(id) + "-|+" + QByteArray(3 << 20, 'x')),
             413);
    QCOMPARE(curl("/action/file/quorvdownload?username=alice&password=alice-pass&extguid=" + id,
                  document(id)),
             404);
}

void LoadBalancerTest::serviceGoesOnWithOneServerDown()
{
    m_two->kill();
    for (int i = 0; i < 4; ++i) {
        const QByteArray id = "after-" + QByteArray::number(i);
        QCOMPARE(curl("/action/file/quorvupload?username=alice&password=alice-pass&access_id=0",
                      document(id) + "-|+" + id),
                 200);
        QByteArray body;
        QCOMPARE(curl("/action/file/quorvdownload?username=alice&password=alice-pass&extguid=" + id,
                      document(id), &body),
                 200);
        QCOMPARE(body, id);
    }
    QCOMPARE(curl("/health", {}, nullptr, true), 200);
}

// Runs last: by now the logs hold uploads, downloads, a refused body and a
// server that went down.
void LoadBalancerTest::logsHoldNoPassword()
{
    const QString prefix = m_proxyFolder->path();
    QFile access(prefix + "/access.log");
    QVERIFY(access.open(QIODevice::ReadOnly));
    const QByteArray accessLog = access.readAll();
    QVERIFY(accessLog.contains("/action/file/quorvupload"));
    for (const char *name : { "/access.log", "/service-error.log", "/error.log" }) {
        QFile log(prefix + name);
        if (log.open(QIODevice::ReadOnly))
            QVERIFY2(!log.readAll().contains("alice-pass"), name);
    }
}

QTEST_GUILESS_MAIN(LoadBalancerTest)
#include "tst_LoadBalancer.moc"
