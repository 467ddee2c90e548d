#pragma once

#include <QProcess>
#include <QString>
#include <memory>

// A private X server (Xvfb on a free display), and a system tray on it when
// asked, for tests that need a real desktop. Both end with the object.
class VirtualDesktop
{
public:
    VirtualDesktop();
    ~VirtualDesktop();

    // False, with the reason in whyNot(), when a part is missing or does not
    // come up.
    bool start(bool withTray);
    QString display() const { return m_display; }
    QString whyNot() const { return m_whyNot; }

private:
    bool fail(const QString &reason);

    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_tray;
    QString m_display;
    QString m_whyNot;
};
