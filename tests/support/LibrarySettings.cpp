#include "LibrarySettings.h"

#include "ReferenceServer.h"

#include <QSettings>

void LibrarySettings::setServerUrl(const QString &url)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
    settings.setValue(QStringLiteral("server_url"), url);
    settings.sync();
}

void LibrarySettings::configure(const QString &serverUrl, const QString &dataFolder,
                                const QByteArray &user, const QByteArray &password)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
    settings.setValue(QStringLiteral("server_url"), serverUrl.toUtf8());
    settings.setValue(QStringLiteral("data_path"), dataFolder.toUtf8());
    settings.setValue(QStringLiteral("user"),
                      user.isEmpty() ? QByteArray(ReferenceServer::User) : user);
    settings.setValue(QStringLiteral("password"),
                      user.isEmpty() ? QByteArray(ReferenceServer::Password) : password);
    settings.sync();
}
