#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class QAction;
class QIcon;
class QMenu;
class QSystemTrayIcon;

// keycrate's icon in the desktop's system tray, with its menu: show the
// window, lock a file, back a file up, quit. It only asks; the application
// does the work.
class TrayIcon : public QObject
{
    Q_OBJECT

public:
    // Asks the user for a file; an empty result means the user gave up.
    using FileChooser = std::function<QString(const QString &title)>;

    explicit TrayIcon(QObject *parent = nullptr);
    ~TrayIcon() override;

    // Whether the desktop offers a tray at all.
    static bool available();
    // keycrate's own picture, in every size it ships.
    static QIcon icon();

    void show();
    bool isVisible() const;

    QMenu *menu() const { return m_menu.get(); }
    QAction *showAction() const { return m_show; }
    QAction *lockAction() const { return m_lock; }
    QAction *uploadAction() const { return m_upload; }
    QAction *quitAction() const { return m_quit; }

    // Replaces the file dialog, for tests.
    void setFileChooser(FileChooser chooser) { m_chooseFile = std::move(chooser); }

signals:
    void showRequested();
    void lockRequested(const QString &path);
    void uploadRequested(const QString &path);
    void quitRequested();

private:
    void chooseFileFor(const QString &title, void (TrayIcon::*request)(const QString &));

    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon *m_icon = nullptr;
    QAction *m_show = nullptr;
    QAction *m_lock = nullptr;
    QAction *m_upload = nullptr;
    QAction *m_quit = nullptr;
    FileChooser m_chooseFile;
};
