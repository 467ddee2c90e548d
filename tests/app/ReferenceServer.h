#pragma once

#include "HttpClient.h"
#include "ServerProcess.h"

#include <QByteArray>
#include <QList>
#include <QTemporaryDir>
#include <memory>

// Our reference backup server for a test: a fresh data folder, one account,
// a free loopback port. What it stored is read back from its database and
// downloaded over HTTP, as another client would.
class ReferenceServer
{
public:
    static constexpr char User[] = "tester";
    static constexpr char Password[] = "tester-pass";

    ReferenceServer();
    ~ReferenceServer();

    // Adds the account and starts listening; false with failure() set.
    bool start();
    QString failure() const { return m_failure; }
    // "http://127.0.0.1:PORT", the value of the setting "server_url".
    QString url() const;
    // Adds another account; true on success.
    bool addAccount(const QByteArray &name, const QByteArray &password);

    struct StoredEvent
    {
        QByteArray id;
        QByteArray name;
        QByteArray path;
        QByteArray description;
        qint64 access = 0;
        QByteArray owner;
    };
    // Every stored event of every account, by name.
    QList<StoredEvent> events() const;
    // The stored file of an event of the test account, as it downloads.
    QByteArray download(const QByteArray &id, int *status = nullptr);
    // How many requests of one kind ("quorvupload", ...) the server has logged.
    int requests(const QByteArray &action);

private:
    QTemporaryDir m_data;
    std::unique_ptr<ServerProcess> m_process;
    HttpClient m_http;
    QString m_failure;
};

// Points the library (organization "keycrate.org", application "Quorvane") at
// a backup server.
void setServerUrl(const QString &url);
