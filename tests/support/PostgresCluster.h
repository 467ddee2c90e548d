#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A private PostgreSQL cluster for one test process: initdb in a folder of its
// own, the server on a socket folder of its own and a free port, stopped with
// the object (and with the test process, should that die). Run as root, the
// cluster runs as "nobody", since PostgreSQL refuses to run as root.
class PostgresCluster
{
public:
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster &) = delete;
    PostgresCluster &operator=(const PostgresCluster &) = delete;

    // Folder of Debian's PostgreSQL programs, or empty when not installed.
    static QString binFolder();

    // initdb and start; false with failure() set. Every wait is bounded.
    bool start();
    void stop();
    bool running() const { return m_server.state() != QProcess::NotRunning; }
    QString failure() const { return m_failure; }

    // Creates an empty database; false with failure() set.
    bool createDatabase(const QString &name);
    // Creates an empty database of a new name and gives its URI; empty with
    // failure() set.
    QString newDatabase();
    // A libpq URI of the database, for --database.
    QString url(const QString &database) const;
    // The database over TCP to 127.0.0.1:port: port() itself, or a relay's in front of it.
    QString tcpUrl(const QString &database, int port) const;
    int port() const { return m_port; }
    // Runs one statement in database; false with failure() set.
    bool execute(const QString &database, const QByteArray &sql);

private:
    bool run(const QString &program, const QStringList &arguments, int timeout);
    void dropPrivileges(QProcess &process) const;

    std::unique_ptr<QTemporaryDir> m_folder;
    QProcess m_server;
    QByteArray m_log;
    int m_port = 0;
    int m_databases = 0;
    uint m_uid = 0;
    uint m_gid = 0;
    QString m_failure;
};
