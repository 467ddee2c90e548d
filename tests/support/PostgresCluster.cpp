#include "PostgresCluster.h"

#include "ClusterFolder.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QThread>
#include <csignal>
#include <grp.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const char *const SuperUser = "quorvane";

int freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 55432;
}

} // namespace

PostgresCluster::PostgresCluster() = default;

PostgresCluster::~PostgresCluster()
{
    stop();
}

QString PostgresCluster::binFolder()
{
    const QStringList versions
        = QDir("/usr/lib/postgresql").entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString folder = "/usr/lib/postgresql/" + *it + "/bin";
        if (QFileInfo(folder + "/initdb").isExecutable())
            return folder;
    }
    return QString();
}

void PostgresCluster::dropPrivileges(QProcess &process) const
{
    const uid_t uid = m_uid;
    const gid_t gid = m_gid;
    const bool root = ::geteuid() == 0;
    process.setChildProcessModifier([uid, gid, root] {
        if (root && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
        // Set after the change of user, which clears it: the cluster must not
        // outlive a test that crashes.
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
    });
}

bool PostgresCluster::run(const QString &program, const QStringList &arguments, int timeout)
{
    QProcess process;
    dropPrivileges(process);
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

bool PostgresCluster::start()
{
    const QString bin = binFolder();
    if (bin.isEmpty()) {
        m_failure = "PostgreSQL is not installed (Debian package postgresql)";
        return false;
    }
    m_uid = ::geteuid();
    m_gid = ::getegid();
    if (m_uid == 0) {
        const passwd *nobody = ::getpwnam("nobody");
        if (!nobody) {
            m_failure = "there is no user nobody to run PostgreSQL as";
            return false;
        }
        m_uid = nobody->pw_uid;
        m_gid = nobody->pw_gid;
    }
    // Not under the test's TMPDIR: a socket path has at most 107 bytes, and
    // "nobody" must be able to reach the folder.
    m_folder = newClusterFolder("quorvane-pg");
    if (!m_folder->isValid()) {
        m_failure = "cannot create a folder for PostgreSQL";
        return false;
    }
    const QString base = m_folder->path();
    if (::chown(base.toLocal8Bit().constData(), m_uid, m_gid) != 0) {
        m_failure = "cannot hand " + base + " to the PostgreSQL user";
        return false;
    }
    if (!run(bin + "/initdb",
             { "-D", base + "/data", "-U", SuperUser, "--auth=trust", "--no-sync",
               "--encoding=UTF8", "--locale=C" },
             60000))
        return false;
    if (!QDir(base).mkdir("socket")
        || ::chown((base + "/socket").toLocal8Bit().constData(), m_uid, m_gid) != 0) {
        m_failure = "cannot create the socket folder";
        return false;
    }

    m_port = freePort();
    dropPrivileges(m_server);
    m_server.setProcessChannelMode(QProcess::MergedChannels);
    // Durability is not what these tests look at; speed is.
    m_server.start(bin + "/postgres",
                   { "-D", base + "/data", "-k", base + "/socket", "-p", QString::number(m_port),
                     "-c", "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
                     "synchronous_commit=off", "-c", "full_page_writes=off", "-c",
                     "max_connections=200" });
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        m_server.waitForReadyRead(100);
        m_log += m_server.readAll();
        if (m_log.contains("ready to accept connections"))
            return true;
        if (m_server.state() == QProcess::NotRunning)
            break;
    }
    m_failure = "PostgreSQL did not start: " + QString::fromLocal8Bit(m_log);
    stop();
    return false;
}

void PostgresCluster::stop()
{
    if (m_server.state() != QProcess::NotRunning) {
        // SIGINT: fast shutdown, connections are cut.
        ::kill(static_cast<pid_t>(m_server.processId()), SIGINT);
        if (!m_server.waitForFinished(20000)) {
            m_server.kill();
            m_server.waitForFinished(5000);
        }
    }
    m_folder.reset();
}

QString PostgresCluster::tcpUrl(const QString &database, int port) const
{
    return QString("postgresql://%1@127.0.0.1:%2/%3").arg(SuperUser).arg(port).arg(database);
}

QString PostgresCluster::url(const QString &database) const
{
    return QString("postgresql://%1@/%2?host=%3/socket&port=%4")
        .arg(SuperUser, database, m_folder ? m_folder->path() : QString())
        .arg(m_port);
}

bool PostgresCluster::execute(const QString &database, const QByteArray &sql)
{
    PGconn *connection = PQconnectdb(url(database).toUtf8().constData());
    bool done = PQstatus(connection) == CONNECTION_OK;
    if (done) {
        PGresult *result = PQexec(connection, sql.constData());
        const ExecStatusType status = PQresultStatus(result);
        done = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!done)
            m_failure = QString::fromUtf8(PQresultErrorMessage(result));
        PQclear(result);
    } else {
        m_failure = QString::fromUtf8(PQerrorMessage(connection));
    }
    PQfinish(connection);
    return done;
}

bool PostgresCluster::createDatabase(const QString &name)
{
    return execute("postgres", "CREATE DATABASE \"" + name.toUtf8() + "\"");
}

QString PostgresCluster::newDatabase()
{
    const QString name = QStringLiteral("test%1").arg(++m_databases);
    return createDatabase(name) ? url(name) : QString();
}
