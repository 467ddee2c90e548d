#include "S3Cluster.h"

#include "ClusterFolder.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>
#include <QUrl>
#include <QUuid>
#include <csignal>
#include <curl/curl.h>
#include <sys/prctl.h>

namespace {

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

size_t collect(char *data, size_t size, size_t count, void *target)
{
    static_cast<QByteArray *>(target)->append(data, static_cast<qsizetype>(size * count));
    return size * count;
}

const char *const Programs[]
    = { "ceph-mon", "ceph-osd", "radosgw", "radosgw-admin", "monmaptool", "ceph" };

} // namespace

S3Cluster::S3Cluster() = default;

S3Cluster::~S3Cluster()
{
    stop();
}

bool S3Cluster::installed()
{
    for (const char *program : Programs) {
        if (QStandardPaths::findExecutable(program).isEmpty())
            return false;
    }
    return true;
}

bool S3Cluster::run(const QString &program, const QStringList &arguments, int timeout)
{
    QProcess process;
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(timeout)) {
        process.kill();
        process.waitForFinished(5000);
        m_failure = program + " did not finish: " + process.readAll();
        return false;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        m_failure = program + " failed: " + process.readAll();
        return false;
    }
    return true;
}

bool S3Cluster::startDaemon(QProcess &process, const QString &program, const QStringList &arguments)
{
    // In the foreground, so that the process is the daemon and dies with the test.
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(m_folder->path() + "/log/" + QFileInfo(program).fileName()
                                  + ".out");
    process.start(program, QStringList { "-f", "-c", conf() } + arguments);
    if (process.waitForStarted(10000))
        return true;
    m_failure = program + " did not start";
    return false;
}

void S3Cluster::stopDaemon(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

bool S3Cluster::start()
{
    if (!installed()) {
        m_failure = "the S3 gateway is not installed (Debian packages radosgw ceph-mon ceph-osd)";
        return false;
    }
    m_folder = newClusterFolder("quorvane-s3");
    if (!m_folder->isValid()) {
        m_failure = "cannot create a folder for the S3 cluster";
        return false;
    }
    const QString base = m_folder->path();
    for (const char *sub : { "log", "crash", "run", "mon", "osd", "rgw" })
        QDir(base).mkdir(sub);
    const int monitorPort = freePort();
    m_gatewayPort = freePort();
    const QString fsid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString monitor = QStringLiteral("127.0.0.1:%1").arg(monitorPort);
    // Every path of its own, or files land in the system's folders; no
    // authentication inside a cluster nobody else reaches; proposals at
    // once, which makes start-up take seconds instead of tens of them.
    const QString settings = QStringLiteral("[global]\n"
                                            "fsid = %1\n"
                                            "mon host = %2\n"
                                            "auth cluster required = none\n"
                                            "auth service required = none\n"
                                            "auth client required = none\n"
                                            "ms mon client mode = crc secure\n"
                                            "ms bind ipv6 = false\n"
                                            "log file = %3/log/$name.log\n"
                                            "mon cluster log file = %3/log/cluster.log\n"
                                            "crash dir = %3/crash\n"
                                            "run dir = %3/run\n"
                                            "admin socket = %3/run/$name.asok\n"
                                            "pid file = %3/run/$name.pid\n"
                                            "keyring = %3/keyring\n"
                                            "osd objectstore = memstore\n"
                                            // Room is taken only as written; the
                                            // default 1 GiB is too small for a bench.
                                            "memstore device bytes = 17179869184\n"
                                            "osd pool default size = 1\n"
                                            "osd pool default min size = 1\n"
                                            "osd pool default pg num = 8\n"
                                            "osd pool default pgp num = 8\n"
                                            "mon allow pool size one = true\n"
                                            "paxos propose interval = 0.01\n"
                                            "[mon.a]\n"
                                            "mon data = %3/mon\n"
                                            "public addr = %2\n"
                                            "[osd.0]\n"
                                            "osd data = %3/osd\n"
                                            "[client.rgw]\n"
                                            "rgw data = %3/rgw\n"
                                            "rgw frontends = beast endpoint=127.0.0.1:%4\n")
                                 .arg(fsid, monitor, base)
                                 .arg(m_gatewayPort);
    QFile file(conf());
    if (!file.open(QIODevice::WriteOnly) || file.write(settings.toUtf8()) != settings.size()) {
        m_failure = "cannot write " + conf();
        return false;
    }
    file.close();
    const QString map = base + "/monmap";
    if (!run("monmaptool", { "--create", "--add", "a", monitor, "--fsid", fsid, map }, 20000)
        || !run("ceph-mon", { "-c", conf(), "--mkfs", "-i", "a", "--monmap", map }, 20000)
        || !startDaemon(m_monitor, "ceph-mon", { "-i", "a" })
        || !run("ceph", { "-c", conf(), "--connect-timeout", "30", "osd", "create" }, 40000)
        || !run("ceph-osd", { "-c", conf(), "--mkfs", "-i", "0" }, 20000)
        || !startDaemon(m_osd, "ceph-osd", { "-i", "0" })
        || !run("radosgw-admin",
                { "-c", conf(), "user", "create", "--uid=quorvane", "--display-name=quorvane",
                  "--access-key=" + accessKey(), "--secret-key=" + secretKey() },
                60000)
        || !startGateway()) {
        stop();
        return false;
    }
    return true;
}

bool S3Cluster::startGateway()
{
    if (!startDaemon(m_gateway, "radosgw", { "-n", "client.rgw" }))
        return false;
    // The gateway goes quietly when its port is taken: only a signed answer
    // shows that it serves. Making the bucket again is no error for its owner.
    const QDeadlineTimer deadline(60000);
    while (!deadline.hasExpired()) {
        const Answer made = request("PUT", bucket());
        if (made.status == 200)
            return true;
        if (m_gateway.state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    QFile log(m_folder->path() + "/log/client.rgw.log");
    log.open(QIODevice::ReadOnly);
    m_failure
        = "the S3 gateway does not answer: " + QString::fromLocal8Bit(log.readAll().right(2000));
    stopDaemon(m_gateway);
    return false;
}

void S3Cluster::stopGateway()
{
    stopDaemon(m_gateway);
}

void S3Cluster::stop()
{
    stopDaemon(m_gateway);
    stopDaemon(m_osd);
    stopDaemon(m_monitor);
    m_folder.reset();
}

QString S3Cluster::endpoint() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_gatewayPort);
}

S3Cluster::Answer S3Cluster::request(const QByteArray &method, const QString &path,
                                     const QByteArray &body, const QByteArray &range) const
{
    Answer answer;
    CURL *curl = curl_easy_init();
    if (!curl)
        return answer;
    const QByteArray url = (endpoint() + "/" + path).toUtf8();
    const QByteArray user = accessKey() + ":" + secretKey();
    const QByteArray sign = "aws:amz:" + region().toUtf8() + ":s3";
    curl_slist *headers = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    headers = curl_slist_append(headers, "Content-Type: application/octet-stream");
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sign.constData());
    curl_easy_setopt(curl, CURLOPT_USERPWD, user.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (method == "HEAD")
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    else if (method != "GET")
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.constData());
    if (method == "PUT" || method == "POST") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
        curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.constData());
    }
    if (!range.isEmpty())
        curl_easy_setopt(curl, CURLOPT_RANGE, range.constData());
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return answer;
}

QStringList S3Cluster::keys(const QString &prefix) const
{
    QStringList found;
    const QByteArray encoded = QUrl::toPercentEncoding(prefix);
    const Answer listed = request(
        "GET", bucket() + "?list-type=2&max-keys=1000&prefix=" + QString::fromLatin1(encoded));
    static const QRegularExpression key("<Key>([^<]*)</Key>");
    for (auto it = key.globalMatch(QString::fromUtf8(listed.body)); it.hasNext();)
        found << it.next().captured(1);
    return found;
}
