#include "ServerProcess.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QtGlobal>
#include <csignal>
#include <sys/prctl.h>

ServerProcess::ServerProcess(QString dataFolder, QString database)
    : m_dataFolder(std::move(dataFolder))
    , m_database(std::move(database))
{
    m_process.setProgram(program());
    // A test that dies must not leave its server behind.
    m_process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    // Drained whenever the test's loop runs, so a chatty server never blocks on a full pipe.
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] { log(); });
}

ServerProcess::~ServerProcess()
{
    if (m_process.state() != QProcess::NotRunning)
        kill();
    m_process.disconnect();
}

QString ServerProcess::program()
{
    return qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane-server");
}

void ServerProcess::setLauncher(const QString &program, const QStringList &arguments)
{
    m_process.setProgram(program);
    m_launcherArguments = arguments + QStringList { ServerProcess::program() };
}

bool ServerProcess::start(const QStringList &extraArguments)
{
    m_log.clear();
    m_port = 0;
    QStringList arguments { "--listen", "127.0.0.1:0", "--data", m_dataFolder };
    if (!m_database.isEmpty())
        arguments << "--database" << m_database;
    m_process.setArguments(m_launcherArguments + arguments + m_storage + extraArguments);
    m_process.start();
    if (!m_process.waitForStarted(10000)) {
        m_failure = "the server did not start: " + m_process.errorString();
        return false;
    }
    static const QRegularExpression listening("listening on (https?)://127\\.0\\.0\\.1:(\\d+)");
    const QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        const auto match = listening.match(QString::fromUtf8(log()));
        if (match.hasMatch()) {
            m_scheme = match.captured(1);
            m_port = match.captured(2).toInt();
            return true;
        }
        if (m_process.state() == QProcess::NotRunning) {
            m_failure = "the server ended at start: " + QString::fromUtf8(log());
            return false;
        }
        m_process.waitForReadyRead(100);
    }
    m_failure = "the server did not listen within 30 s";
    kill();
    return false;
}

bool ServerProcess::stop(bool interrupt)
{
    if (m_process.state() == QProcess::NotRunning)
        return false;
    ::kill(static_cast<pid_t>(m_process.processId()), interrupt ? SIGINT : SIGTERM);
    if (!m_process.waitForFinished(30000)) {
        kill();
        return false;
    }
    log();
    if (m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0)
        return true;
    // Said in the log, so that a failed stop tells how the server ended.
    m_log += m_process.exitStatus() == QProcess::CrashExit
        ? QByteArray("(the server crashed while stopping)\n")
        : "(the server stopped with exit code " + QByteArray::number(m_process.exitCode()) + ")\n";
    return false;
}

void ServerProcess::kill()
{
    m_process.kill();
    // Until it is gone: a sanitized server on a busy machine can take seconds
    // to end, holding its files' locks while a restarted one sweeps.
    if (!m_process.waitForFinished(60000))
        m_log += "(the server did not end within 60 s of SIGKILL)\n";
    log();
}

QString ServerProcess::url(const QByteArray &target) const
{
    return QStringLiteral("%1://127.0.0.1:%2").arg(m_scheme).arg(m_port)
        + QString::fromLatin1(target);
}

QByteArray ServerProcess::log()
{
    m_log += m_process.readAllStandardError();
    return m_log;
}

bool ServerProcess::waitForLog(const QByteArray &text, int timeout)
{
    const QDeadlineTimer deadline(timeout);
    while (!log().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return log().contains(text);
        m_process.waitForReadyRead(50);
    }
    return true;
}

int ServerProcess::account(const QString &command, const QString &name,
                           const QByteArray &password) const
{
    return this->command({ command, name }, password + "\n").exitCode;
}

ServerProcess::Run ServerProcess::command(const QStringList &arguments,
                                          const QByteArray &input) const
{
    QStringList all = arguments;
    all << "--data" << m_dataFolder;
    if (!m_database.isEmpty())
        all << "--database" << m_database;
    if (!arguments.contains("copy"))
        all << m_storage;
    QProcess process;
    process.start(program(), all);
    Run run;
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(10000);
        return run;
    }
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    return run;
}
