#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// The reference backup server, run by a test on a free loopback port with a
// temporary data folder and one account.
class BackupServer
{
public:
    static constexpr const char *User = "tester";
    static constexpr const char *Password = "secret-pass";

    BackupServer();
    ~BackupServer();

    // Adds the account and starts listening; false (with why()) when it cannot.
    bool start();
    QByteArray url() const;
    QString why() const { return m_why; }

    // The server's own data folder, to look at what it stored.
    QString dataFolder() const { return m_data.path(); }

private:
    bool startOn(quint16 port);
    void stop();

    QTemporaryDir m_data;
    QProcess m_process;
    quint16 m_port = 0;
    QString m_why;
};

// Points the library's settings (organization "keycrate.org", application
// "Quorvane") at a server and a data folder, with the account's credentials.
void configureLibrary(const QByteArray &serverUrl, const QString &dataFolder);
