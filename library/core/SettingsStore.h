#pragma once

#include <QByteArray>
#include <QSettings>

namespace Quorvane {

// The per-user settings shared by the library and keycrate. Every reader
// other than the interface object opens a short-lived one per read, so a change
// takes effect with the next operation.
class SettingsStore : public QSettings
{
public:
    static constexpr const char *Organization = "keycrate.org";
    static constexpr const char *Application = "Quorvane";
    // Our reference backup server on this machine.
    static constexpr const char *DefaultServerUrl = "http://127.0.0.1:8477";
    // Keys of the number settings (readInt, writeInt).
    static const QString RefreshDays;
    static const QString DefaultAccess;
    // The server connection's limits: seconds, and kilobits per second (0: none).
    static const QString ServerTimeout;
    static const QString UploadLimit;
    static const QString DownloadLimit;
    static constexpr int DefaultServerTimeout = 60;
    // Bounds on what the server may make us store, in MiB: a download stops
    // before the data folder's disk has less free space than the first, and
    // a list answer may not be larger than the second.
    static const QString MinFreeSpace;
    static const QString MaxListAnswer;
    static constexpr int DefaultMinFreeSpace = 1024;
    static constexpr int DefaultMaxListAnswer = 1024;

    SettingsStore();

    // Each write returns 0 once the file holds it, 99 when it could not be
    // written (a settings folder that cannot be made or written, say).
    int writeInt(const QString &key, int value);
    int readInt(const QString &key) const;
    int writeDataPath(const QByteArray &path);
    QByteArray readDataPath() const;
    int writeCredentials(const QByteArray &user, const QByteArray &password);
    QByteArray readUser() const;
    QByteArray readPassword() const;
    QByteArray readServerUrl() const;
    // A PEM file of CAs trusted beside the system's (empty when unset).
    QByteArray readServerCaFile() const;
    int readServerTimeout() const;
    // In bytes; unset or negative: the default.
    qint64 readMinFreeSpace() const;
    // In bytes; unset or not positive: the default.
    qint64 readMaxListAnswer() const;

    // The password lives here in plain form for the user's other programs,
    // so the file must stay readable by its owner only.
    void restrictToOwner();
    // Before the first value of another writer of the same file: the file
    // (and any folder made for it) is the owner's alone from the start.
    static void prepareOwnerOnlyFile(const QString &path);

private:
    int saved() const;
};

// The data folder as the setting names it now (empty when unset).
QByteArray dataFolder();

} // namespace Quorvane
