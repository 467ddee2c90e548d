#include "HandOverSetting.h"

#include "OwnerOnly.h"

#include <QFile>
#include <QSettings>

namespace Platform {

namespace {

constexpr char Key[] = "file_to_process_path";
constexpr char Organization[] = "keycrate.org";
constexpr char Application[] = "Quorvane";

} // namespace

QByteArray HandOverSetting::read()
{
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QLatin1String(Organization), QLatin1String(Application));
    const QVariant value = settings.value(QLatin1String(Key));
    if (value.typeId() == QMetaType::QByteArray)
        return value.toByteArray();
    return QFile::encodeName(value.toString());
}

bool HandOverSetting::write(const QByteArray &path)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QLatin1String(Organization),
                       QLatin1String(Application));
    OwnerOnly::prepareFile(settings.fileName());
    settings.setValue(QLatin1String(Key), QFile::decodeName(path));
    settings.sync();
    // The same file holds the account password: it stays the owner's alone.
    QFile::setPermissions(settings.fileName(), QFile::ReadOwner | QFile::WriteOwner);
    return settings.status() == QSettings::NoError;
}

} // namespace Platform
