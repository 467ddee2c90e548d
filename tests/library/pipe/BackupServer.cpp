#include "BackupServer.h"

#include <QDeadlineTimer>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>

namespace {

QString serverProgram()
{
    return qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane-server");
}

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool answers(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

} // namespace

BackupServer::BackupServer() = default;

BackupServer::~BackupServer()
{
    stop();
}

bool BackupServer::start()
{
    if (!m_data.isValid()) {
        m_why = QStringLiteral("no temporary folder");
        return false;
    }
    QProcess adduser;
    adduser.start(serverProgram(),
                  { QStringLiteral("adduser"), QString::fromLatin1(User), QStringLiteral("--data"),
                    m_data.path() });
    if (!adduser.waitForStarted(10000)) {
        m_why = QStringLiteral("cannot run ") + serverProgram();
        return false;
    }
    adduser.write(QByteArray(Password) + '\n');
    adduser.closeWriteChannel();
    if (!adduser.waitForFinished(10000) || adduser.exitCode() != 0) {
        adduser.kill();
        m_why = QStringLiteral("adduser failed: ") + QString::fromLocal8Bit(adduser.readAll());
        return false;
    }
    // Another process may take the probed port before the server binds it.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOn(freePort()))
            return true;
    }
    return false;
}

bool BackupServer::startOn(quint16 port)
{
    if (port == 0) {
        m_why = QStringLiteral("no free port");
        return false;
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // A test that dies must not leave its server behind.
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start(serverProgram(),
                    { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                      QStringLiteral("--data"), m_data.path() });
    if (!m_process.waitForStarted(10000)) {
        m_why = QStringLiteral("cannot start ") + serverProgram();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
        if (answers(port)) {
            m_port = port;
            return true;
        }
        QThread::msleep(50);
    }
    m_why = QStringLiteral("server did not come up on port %1").arg(port);
    stop();
    return false;
}

void BackupServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    // Its data is thrown away: no need to wait for a graceful end.
    m_process.kill();
    if (!m_process.waitForFinished(5000)) {
        m_process.waitForFinished(5000);
    }
}

QByteArray BackupServer::url() const
{
    return "http://127.0.0.1:" + QByteArray::number(m_port);
}

void configureLibrary(const QByteArray &serverUrl, const QString &dataFolder)
{
    QSettings settings(QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
    settings.setValue(QStringLiteral("server_url"), serverUrl);
    settings.setValue(QStringLiteral("data_path"), dataFolder.toUtf8());
    settings.setValue(QStringLiteral("user"), QByteArray(BackupServer::User));
    settings.setValue(QStringLiteral("password"), QByteArray(BackupServer::Password));
    settings.sync();
}
