#pragma once

#include <QByteArray>
#include <QString>

// The library's settings (organization "keycrate.org", application
// "Quorvane") as a test prepares them.
class LibrarySettings
{
public:
    static void setServerUrl(const QString &url);
    // Server, data folder and account in one go; the account defaults to the
    // reference server's test account.
    static void configure(const QString &serverUrl, const QString &dataFolder,
                          const QByteArray &user = {}, const QByteArray &password = {});
};
