#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// One quorvane-server process from KEYCRATE_BIN_DIR, listening on a free
// loopback port chosen by the server itself. Every wait is bounded, and the
// server dies with the test that started it.
class ServerProcess
{
public:
    explicit ServerProcess(QString dataFolder, QString database = {});
    ~ServerProcess();

    static QString program();

    // Runs the server through program with these arguments before its own
    // (the server's path, then its arguments), e.g. in a namespace of its own.
    void setLauncher(const QString &program, const QStringList &arguments);

    // Options of where the files are kept ("--storage" ...), given to the
    // server and to its commands.
    void setStorage(const QStringList &arguments) { m_storage = arguments; }

    // Starts the server and waits until it listens; false with failure() set.
    // extraArguments follow "--listen" and "--data" (e.g. "--tls-cert", "--database").
    bool start(const QStringList &extraArguments = {});
    // SIGTERM (or SIGINT), then waits: true when it ended by itself with exit code 0.
    bool stop(bool interrupt = false);
    // SIGKILL, as a crash or power cut would.
    void kill();

    int port() const { return m_port; }
    qint64 pid() const { return m_process.processId(); }
    // "http://127.0.0.1:PORT" (or "https://" when the server said so), then target.
    QString url(const QByteArray &target = {}) const;
    QString dataFolder() const { return m_dataFolder; }
    // The --database of the server and its commands; empty for the default.
    QString database() const { return m_database; }
    QString failure() const { return m_failure; }
    // Everything the server logged so far.
    QByteArray log();
    // Waits until the log holds text; false after timeout milliseconds.
    bool waitForLog(const QByteArray &text, int timeout = 20000);

    // Runs an account command (adduser, passwd, deluser) with password on
    // standard input; its exit code, or -1 when it did not end.
    int account(const QString &command, const QString &name, const QByteArray &password = {}) const;

    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs quorvane-server with arguments, then this server's --data and --database.
    Run command(const QStringList &arguments, const QByteArray &input = {}) const;

private:
    QString m_dataFolder;
    QString m_database;
    QStringList m_storage;
    QProcess m_process;
    QByteArray m_log;
    int m_port = 0;
    QString m_scheme = QStringLiteral("http");
    QStringList m_launcherArguments;
    QString m_failure;
};
