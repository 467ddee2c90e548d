#include "SettingsStore.h"

#include "OwnerOnly.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace Quorvane {

const QString SettingsStore::RefreshDays = QStringLiteral("refresh_days");
const QString SettingsStore::DefaultAccess = QStringLiteral("default_access");
const QString SettingsStore::ServerTimeout = QStringLiteral("server_timeout");
const QString SettingsStore::UploadLimit = QStringLiteral("upload_limit_kbps");
const QString SettingsStore::DownloadLimit = QStringLiteral("download_limit_kbps");
const QString SettingsStore::MinFreeSpace = QStringLiteral("min_free_space_mib");
const QString SettingsStore::MaxListAnswer = QStringLiteral("max_list_answer_mib");

SettingsStore::SettingsStore()
    : QSettings(QSettings::NativeFormat, QSettings::UserScope, Organization, Application)
{
}

int SettingsStore::writeInt(const QString &key, int value)
{
    prepareOwnerOnlyFile(fileName());
    setValue(key, value);
    restrictToOwner();
    return saved();
}

int SettingsStore::readInt(const QString &key) const
{
    bool ok = false;
    const int value = QSettings::value(key).toInt(&ok);
    return ok ? value : 0;
}

QByteArray SettingsStore::readServerCaFile() const
{
    return QSettings::value(QStringLiteral("server_ca_file")).toByteArray();
}

int SettingsStore::readServerTimeout() const
{
    // Unset, zero or nonsense: the default, never "wait forever".
    const int seconds = readInt(ServerTimeout);
    return seconds > 0 ? seconds : DefaultServerTimeout;
}

qint64 SettingsStore::readMinFreeSpace() const
{
    bool ok = false;
    const int mebibytes = QSettings::value(MinFreeSpace).toInt(&ok);
    return qint64(ok && mebibytes >= 0 ? mebibytes : DefaultMinFreeSpace) * 1024 * 1024;
}

qint64 SettingsStore::readMaxListAnswer() const
{
    const int mebibytes = readInt(MaxListAnswer);
    return qint64(mebibytes > 0 ? mebibytes : DefaultMaxListAnswer) * 1024 * 1024;
}

int SettingsStore::writeDataPath(const QByteArray &path)
{
    prepareOwnerOnlyFile(fileName());
    setValue(QStringLiteral("data_path"), path);
    restrictToOwner();
    return saved();
}

QByteArray SettingsStore::readDataPath() const
{
    return QSettings::value(QStringLiteral("data_path")).toByteArray();
}

int SettingsStore::writeCredentials(const QByteArray &user, const QByteArray &password)
{
    prepareOwnerOnlyFile(fileName());
    setValue(QStringLiteral("user"), user);
    setValue(QStringLiteral("password"), password);
    restrictToOwner();
    return saved();
}

QByteArray SettingsStore::readUser() const
{
    return QSettings::value(QStringLiteral("user")).toByteArray();
}

QByteArray SettingsStore::readPassword() const
{
    return QSettings::value(QStringLiteral("password")).toByteArray();
}

QByteArray SettingsStore::readServerUrl() const
{
    const QByteArray url = QSettings::value(QStringLiteral("server_url")).toByteArray().trimmed();
    return url.isEmpty() ? QByteArray(DefaultServerUrl) : url;
}

int SettingsStore::saved() const
{
    // An object's status keeps its first error for good: a fresh one tells
    // whether what is pending reaches the file now.
    QSettings probe(QSettings::NativeFormat, QSettings::UserScope, Organization, Application);
    probe.sync();
    return probe.status() == QSettings::NoError && QFileInfo::exists(probe.fileName()) ? 0 : 99;
}

void SettingsStore::restrictToOwner()
{
    prepareOwnerOnlyFile(fileName());
    sync();
    // In case QSettings could not replace the file and wrote it in place.
    QFile::setPermissions(fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

// QSettings writes a new file and renames it over the old one, giving the new
// file the old one's permissions. Making the file owner-only before the first
// value is set means the password is never readable by others, not even for
// the moment between writing and a later chmod.
void SettingsStore::prepareOwnerOnlyFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.exists()) {
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        return;
    }
    const QString folder = info.absolutePath();
    Platform::OwnerOnly::makeFolder(folder);
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner);
}

QByteArray dataFolder()
{
    return SettingsStore().readDataPath();
}

} // namespace Quorvane
