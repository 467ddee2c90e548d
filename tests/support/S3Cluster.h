#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// A private S3 gateway for one test process: a one-node storage cluster (one
// monitor, one in-memory OSD, no authentication inside) and its S3 gateway on
// free ports of 127.0.0.1, all in a folder of its own, with a user and a
// bucket. Stopped with the object (and with the test process, should that die).
class S3Cluster
{
public:
    S3Cluster();
    ~S3Cluster();
    S3Cluster(const S3Cluster &) = delete;
    S3Cluster &operator=(const S3Cluster &) = delete;

    // Whether the gateway and the cluster's programs are installed.
    static bool installed();

    // Starts the cluster and the gateway, creates the user and the bucket;
    // false with failure() set. Every wait is bounded.
    bool start();
    void stop();
    // Stops the gateway alone, keeping what it stores; startGateway() brings
    // it back on the same port.
    void stopGateway();
    bool startGateway();
    QString failure() const { return m_failure; }
    QString folder() const { return m_folder ? m_folder->path() : QString(); }

    QString endpoint() const;
    QString bucket() const { return QStringLiteral("quorvane"); }
    QString region() const { return QStringLiteral("default"); }
    QByteArray accessKey() const { return "QUORVANETESTKEY"; }
    QByteArray secretKey() const { return "quorvane-test-secret"; }

    struct Answer
    {
        long status = 0;
        QByteArray body;
    };
    // One signed request to the gateway; path begins with the bucket's name,
    // a query is given in canonical form (names sorted, "key=" for a bare name).
    Answer request(const QByteArray &method, const QString &path,
                   const QByteArray &body = QByteArray(),
                   const QByteArray &range = QByteArray()) const;
    // The keys of the bucket's objects under prefix.
    QStringList keys(const QString &prefix = QString()) const;

private:
    bool run(const QString &program, const QStringList &arguments, int timeout);
    bool startDaemon(QProcess &process, const QString &program, const QStringList &arguments);
    void stopDaemon(QProcess &process);
    QString conf() const { return m_folder->path() + "/ceph.conf"; }

    std::unique_ptr<QTemporaryDir> m_folder;
    QProcess m_monitor;
    QProcess m_osd;
    QProcess m_gateway;
    int m_gatewayPort = 0;
    QString m_failure;
};
