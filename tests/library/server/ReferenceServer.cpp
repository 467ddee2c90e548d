#include "ReferenceServer.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

} // namespace

ReferenceServer::ReferenceServer(const QString &dataFolder)
    : m_dataFolder(dataFolder)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

ReferenceServer::~ReferenceServer()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(10000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

QString ReferenceServer::binary()
{
    return QString::fromLocal8Bit(qgetenv("KEYCRATE_BIN_DIR")) + QLatin1String("/quorvane-server");
}

bool ReferenceServer::addUser(const QByteArray &name, const QByteArray &password)
{
    QProcess add;
    add.setProcessChannelMode(QProcess::MergedChannels);
    add.start(binary(), { "adduser", QString::fromUtf8(name), "--data", m_dataFolder });
    if (!add.waitForStarted(10000)) {
        m_error = QLatin1String("cannot start ") + binary();
        return false;
    }
    add.write(password + '\n');
    add.closeWriteChannel();
    if (!add.waitForFinished(30000) || add.exitStatus() != QProcess::NormalExit
        || add.exitCode() != 0) {
        m_error = QLatin1String("adduser failed: ") + QString::fromLocal8Bit(add.readAll());
        return false;
    }
    return true;
}

bool ReferenceServer::start(const QStringList &options)
{
    m_scheme = options.contains(QLatin1String("--tls-cert")) ? "https" : "http";
    // A port found free may be taken again before the server binds it: retry
    // a few times with another.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = freePort();
        m_process.start(
            binary(),
            QStringList { "--listen", QString("127.0.0.1:%1").arg(m_port), "--data", m_dataFolder }
                + options);
        if (!m_process.waitForStarted(10000)) {
            m_error = QLatin1String("cannot start ") + binary();
            return false;
        }
        const QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, m_port);
            if (probe.waitForConnected(1000))
                return true;
            QThread::msleep(50);
        }
        if (m_process.state() == QProcess::Running) {
            m_error = QLatin1String("the server does not accept connections");
            return false;
        }
        m_process.waitForFinished(1000);
    }
    m_error = QLatin1String("the server did not stay up");
    return false;
}

QByteArray ReferenceServer::url() const
{
    return m_scheme + "://127.0.0.1:" + QByteArray::number(m_port);
}
