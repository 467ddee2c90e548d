#include "TrayIcon.h"

#include <QAction>
#include <QDir>
#include <QFileDialog>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

static void initKeycrateIcons()
{
    // The pictures live in keycrate's own static library.
    Q_INIT_RESOURCE(keycrate);
}

TrayIcon::TrayIcon(QObject *parent)
    : QObject(parent)
    , m_menu(std::make_unique<QMenu>())
    , m_icon(new QSystemTrayIcon(icon(), this))
{
    m_menu->setObjectName(QStringLiteral("trayMenu"));
    m_show = m_menu->addAction(tr("Show the window"));
    m_show->setObjectName(QStringLiteral("actionTrayShow"));
    m_lock = m_menu->addAction(tr("Lock a file..."));
    m_lock->setObjectName(QStringLiteral("actionTrayLock"));
    m_upload = m_menu->addAction(tr("Back up a file..."));
    m_upload->setObjectName(QStringLiteral("actionTrayUpload"));
    m_menu->addSeparator();
    m_quit = m_menu->addAction(tr("Quit"));
    m_quit->setObjectName(QStringLiteral("actionTrayQuit"));

    m_chooseFile = [](const QString &title) {
        return QFileDialog::getOpenFileName(nullptr, title, QDir::homePath());
    };
    connect(m_show, &QAction::triggered, this, &TrayIcon::showRequested);
    connect(m_lock, &QAction::triggered, this,
            [this] { chooseFileFor(tr("Lock a file"), &TrayIcon::lockRequested); });
    connect(m_upload, &QAction::triggered, this,
            [this] { chooseFileFor(tr("Back up a file"), &TrayIcon::uploadRequested); });
    connect(m_quit, &QAction::triggered, this, &TrayIcon::quitRequested);

    m_icon->setToolTip(tr("keycrate"));
    m_icon->setContextMenu(m_menu.get());
    connect(m_icon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                    emit showRequested();
            });
}

TrayIcon::~TrayIcon() = default;

bool TrayIcon::available()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

QIcon TrayIcon::icon()
{
    initKeycrateIcons();
    QIcon icon;
    for (int size : { 16, 22, 32, 48, 64, 128 })
        icon.addFile(QStringLiteral(":/keycrate/keycrate-%1.png").arg(size), QSize(size, size));
    // The installed theme icon wins, so the desktop's scaling and themes apply.
    return QIcon::fromTheme(QStringLiteral("keycrate"), icon);
}

void TrayIcon::show()
{
    m_icon->show();
}

bool TrayIcon::isVisible() const
{
    return m_icon->isVisible();
}

void TrayIcon::chooseFileFor(const QString &title, void (TrayIcon::*request)(const QString &))
{
    const QString path = m_chooseFile(title);
    if (!path.isEmpty())
        emit(this->*request)(path);
}
