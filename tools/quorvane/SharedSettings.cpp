#include "SharedSettings.h"

#include "SettingsStore.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <memory>

namespace {

// A short-lived store per use, as the library's readers open theirs, so that
// both see each other's writes.
std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
}

// Before a write: it also holds the account's password.
std::unique_ptr<QSettings> storeToWrite()
{
    std::unique_ptr<QSettings> settings = store();
    Quorvane::SettingsStore::prepareOwnerOnlyFile(settings->fileName());
    return settings;
}

void written(QSettings &settings)
{
    settings.sync();
    // It also holds the account's password.
    QFile::setPermissions(settings.fileName(), QFile::ReadOwner | QFile::WriteOwner);
}

QString keyOf(const std::string &key)
{
    return QString::fromStdString(key);
}

} // namespace

bool SharedSettings::contains(const std::string &key)
{
    return store()->contains(keyOf(key));
}

std::string SharedSettings::text(const std::string &key)
{
    return store()->value(keyOf(key)).toByteArray().toStdString();
}

void SharedSettings::setText(const std::string &key, const std::string &value)
{
    const auto settings = storeToWrite();
    if (value.empty())
        settings->remove(keyOf(key));
    else
        settings->setValue(keyOf(key), QString::fromStdString(value));
    written(*settings);
}

void SharedSettings::setNumber(const std::string &key, long long value)
{
    const auto settings = storeToWrite();
    settings->setValue(keyOf(key), value);
    written(*settings);
}

std::string SharedSettings::unsaved()
{
    // Changes that could not be written stay pending in the process's cache
    // of the file, and this sync tries them again.
    const auto settings = store();
    settings->sync();
    const QString file = settings->fileName();
    if (settings->status() == QSettings::NoError && QFileInfo::exists(file))
        return std::string();
    return "cannot write " + file.toStdString();
}

std::string SharedSettings::serverUrl()
{
    std::string url = QByteArray::fromStdString(text("server_url")).trimmed().toStdString();
    return url.empty() ? DefaultServerUrl : url;
}
