#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

// Runs our reference backup server (quorvane-server) on a free loopback port
// with its data in a folder of the caller's choosing, for as long as it lives.
class ReferenceServer
{
public:
    explicit ReferenceServer(const QString &dataFolder);
    ~ReferenceServer();

    // $KEYCRATE_BIN_DIR/quorvane-server
    static QString binary();

    // Both return false with a reason in error().
    bool addUser(const QByteArray &name, const QByteArray &password);
    // Extra options go to the server; "--tls-cert" makes its address https.
    bool start(const QStringList &options = {});

    QByteArray url() const;
    QString error() const { return m_error; }

private:
    QString m_dataFolder;
    QProcess m_process;
    quint16 m_port = 0;
    QByteArray m_scheme = "http";
    QString m_error;
};
