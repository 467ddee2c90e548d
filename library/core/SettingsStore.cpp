#include "SettingsStore.h"

#include <QFile>

namespace Quorvane {

SettingsStore::SettingsStore()
    : QSettings(QSettings::NativeFormat, QSettings::UserScope, Organization, Application)
{
}

int SettingsStore::writeInt(const QString &key, int value)
{
    setValue(key, value);
    restrictToOwner();
    return 0;
}

int SettingsStore::readInt(const QString &key) const
{
    bool ok = false;
    const int value = QSettings::value(key).toInt(&ok);
    return ok ? value : 0;
}

int SettingsStore::writeDataPath(const QByteArray &path)
{
    setValue(QStringLiteral("data_path"), path);
    restrictToOwner();
    return 0;
}

QByteArray SettingsStore::readDataPath() const
{
    return QSettings::value(QStringLiteral("data_path")).toByteArray();
}

int SettingsStore::writeCredentials(const QByteArray &user, const QByteArray &password)
{
    setValue(QStringLiteral("user"), user);
    setValue(QStringLiteral("password"), password);
    restrictToOwner();
    return 0;
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

void SettingsStore::restrictToOwner()
{
    sync();
    QFile::setPermissions(fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

QByteArray dataFolder()
{
    return SettingsStore().readDataPath();
}

} // namespace Quorvane
