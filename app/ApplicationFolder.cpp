#include "ApplicationFolder.h"

#include "OwnerOnly.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef KEYCRATE_PRIVATE_LIBRARY_DIR
#define KEYCRATE_PRIVATE_LIBRARY_DIR "../lib/keycrate"
#endif

namespace {
QString &folder()
{
    static QString instance;
    return instance;
}

QString userStateFolder()
{
    // Relative values are invalid by the base directory rules: ignore them.
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return QDir::cleanPath(base + QStringLiteral("/keycrate"));
}
} // namespace

QString applicationFolder()
{
    return folder();
}

void setApplicationFolder(const QString &path)
{
    QString cleaned = QDir::cleanPath(QDir(path).absolutePath());
    if (cleaned.size() > 1 && cleaned.endsWith(QLatin1Char('/')))
        cleaned.chop(1);
    folder() = cleaned;
}

QString libraryFolder()
{
    const QString own = applicationFolder();
    if (QFileInfo::exists(own + QStringLiteral("/libQuorvane.so")))
        return own;
    // Installed: the program's folder is already its real location, links
    // resolved, so the private folder is found relative to it.
    const QString installed = QDir::cleanPath(own + QLatin1Char('/')
                                              + QString::fromLatin1(KEYCRATE_PRIVATE_LIBRARY_DIR));
    return QFileInfo::exists(installed + QStringLiteral("/libQuorvane.so")) ? installed : own;
}

QString lockListFolder()
{
    // Decided once per program folder, so the list never moves during a run.
    static QString decidedFor;
    static QString decided;
    const QString own = applicationFolder();
    if (own == decidedFor && !decided.isEmpty())
        return decided;
    decidedFor = own;
    // An installation (its library in the private folder) keeps its list per
    // user even for one who could write there, such as root; so does a copy
    // in a folder others could write to, where they could change the list.
    if (libraryFolder() == own && QFileInfo(own).isWritable()
        && Platform::OwnerOnly::foreignFolder(own).isEmpty())
        return decided = own;
    const QString state = userStateFolder();
    // Other users must not read which files this one locks.
    if (Platform::OwnerOnly::makeFolder(state))
        QFile::setPermissions(
            state, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return decided = state;
}
