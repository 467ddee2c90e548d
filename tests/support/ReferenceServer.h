#pragma once

#include "HttpClient.h"
#include "ServerProcess.h"

#include <QByteArray>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

// Our reference backup server for a test: a private data folder, one account,
// a free loopback port. What it stored is read back from its database and
// downloaded over HTTP, as another client would.
class ReferenceServer
{
public:
    static constexpr char User[] = "tester";
    static constexpr char Password[] = "tester-pass";

    // Data in a temporary folder of its own, or in dataFolder; events in the
    // folder's SQLite file, or in database (a PostgreSQL URI) when given.
    ReferenceServer();
    explicit ReferenceServer(const QString &dataFolder, const QString &database = {});
    ~ReferenceServer();

    // Adds the account (first time only) and starts listening, with any
    // further server options (failed logins are not throttled unless
    // "--login-failures" is among them); false with failure() set.
    bool start(const QStringList &extraArguments = {});
    QString failure() const { return m_failure; }
    // "http://127.0.0.1:PORT", the value of the setting "server_url".
    QString url() const;
    QString dataFolder() const { return m_process->dataFolder(); }
    // The process itself: its log, a stop or a kill.
    ServerProcess &process() { return *m_process; }
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
    // Stores an event for the test account as another client would, with an id
    // of the caller's choosing; true when the server took it.
    bool upload(const QByteArray &id, const QByteArray &name, const QByteArray &fileName,
                const QByteArray &bytes, qint64 recordTime, const QByteArray &content = {});
    // Writes count ordinary events of an account straight into the database
    // (ids "seed-<n>", names "Event <n>", without files), as a heavy user would
    // have them, in a fraction of the time uploads take: event n is recorded
    // n * secondsApart after recordTime; true on success.
    bool seedEvents(const QByteArray &account, int count, qint64 recordTime, int secondsApart = 0,
                    const QByteArray &description = {});
    // The stored file of an event of the test account, as it downloads.
    QByteArray download(const QByteArray &id, int *status = nullptr);
    // How many requests of one kind ("quorvupload", ...) the server has logged.
    int requests(const QByteArray &action);

private:
    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<ServerProcess> m_process;
    bool seedPostgres(const QByteArray &account, int count, qint64 recordTime, int secondsApart,
                      const QByteArray &description);

    HttpClient m_http;
    QString m_failure;
    bool m_accountAdded = false;
};
