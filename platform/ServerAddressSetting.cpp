#include "ServerAddressSetting.h"

#include "OwnerOnly.h"

#include <QFile>
#include <QSettings>
#include <QUrl>

namespace Platform {

namespace {

constexpr char Key[] = "server_url";
constexpr char Organization[] = "keycrate.org";
constexpr char Application[] = "Quorvane";

QString trimmed(QString address)
{
    address = address.trimmed();
    while (address.endsWith(QLatin1Char('/')))
        address.chop(1);
    return address;
}

} // namespace

QString ServerAddressSetting::read()
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QLatin1String(Organization), QLatin1String(Application));
    return settings.value(QLatin1String(Key)).toString();
}

QString ServerAddressSetting::problem(const QString &address)
{
    const QString text = trimmed(address);
    if (text.isEmpty())
        return QString();
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        || !text.startsWith(scheme + QLatin1String("://")))
        return QStringLiteral("it must start with http:// or https://");
    if (url.host().isEmpty())
        return QStringLiteral("it names no server");
    if (!url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery() || url.hasFragment()
        || text.contains(QLatin1Char(' ')))
        return QStringLiteral("it may hold only the server and its port");
    if (url.port() == 0)
        return QStringLiteral("its port must be a number from 1 to 65535");
    return QString();
}

bool ServerAddressSetting::write(const QString &address)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(Organization),
                       QLatin1String(Application));
    OwnerOnly::prepareFile(settings.fileName());
    const QString text = trimmed(address);
    if (text.isEmpty())
        settings.remove(QLatin1String(Key));
    else
        settings.setValue(QLatin1String(Key), text);
    settings.sync();
    // The same file holds the account password: it stays the owner's alone.
    QFile::setPermissions(settings.fileName(), QFile::ReadOwner | QFile::WriteOwner);
    return settings.status() == QSettings::NoError;
}

} // namespace Platform
