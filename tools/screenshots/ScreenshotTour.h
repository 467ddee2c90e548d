#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class MyQApplication;
class TheManager;

// Walks keycrate through its main job as a new user would (lock files, set
// the account, upload, see them done) and saves a picture of each tab on the
// way, and one of the tray menu. Used to make the README's screenshots from the real program.
class ScreenshotTour : public QObject
{
    Q_OBJECT

public:
    ScreenshotTour(MyQApplication *application, QString outputFolder);

    // The files to lock and upload; true when every step worked and every
    // picture was saved. Errors go to standard error.
    bool run(const QStringList &files, const QString &user, const QString &password);

private:
    bool save(int tab, const QString &fileName);
    bool saveTrayMenu(const QString &fileName);
    bool waitForUploads();
    bool fail(const QString &why);

    MyQApplication *m_application;
    TheManager *m_window;
    QString m_outputFolder;
};
