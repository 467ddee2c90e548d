#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

// The real keycrate-lockd, run for a test on a socket and a state folder of
// its own inside folder. Needs root; see available().
class LockdInstance
{
public:
    explicit LockdInstance(const QString &folder);
    ~LockdInstance();

    // Root, and a file system under folder that keeps the immutable flag.
    static bool available(const QString &folder, QString *why);
    // Clears the immutable flag of everything under folder, so that a test
    // that failed half-way still leaves nothing behind that cannot be removed.
    static void clearImmutable(const QString &folder);
    // Whether the file carries the immutable flag.
    static bool immutable(const QString &path);
    // A user id no account has, for the client side.
    static uid_t unusedUid();

    // Starts it and waits until its socket answers. idleSeconds 0: it never
    // ends for want of clients.
    bool start(int idleSeconds = 0);
    // Waits for it to end by itself; its exit status, or -1.
    int waitForEnd();
    void kill();
    void stop();
    bool running() const { return m_process.state() == QProcess::Running; }
    // In folder, or in a folder of its own in /tmp where folder's path would
    // be too long for a socket.
    QString socketPath() const { return m_socketPath; }
    QString output() { return QString::fromLocal8Bit(m_process.readAll()); }

private:
    QString m_folder;
    std::unique_ptr<QTemporaryDir> m_socketFolder;
    QString m_socketPath;
    QProcess m_process;
};
