#include "VirtualDesktop.h"

#include <QDeadlineTimer>
#include <QStandardPaths>
#include <QThread>

VirtualDesktop::VirtualDesktop() = default;

VirtualDesktop::~VirtualDesktop()
{
    for (QProcess *process : { m_tray.get(), m_server.get() }) {
        if (process && process->state() != QProcess::NotRunning) {
            process->terminate();
            if (!process->waitForFinished(3000)) {
                process->kill();
                process->waitForFinished(3000);
            }
        }
    }
}

bool VirtualDesktop::fail(const QString &reason)
{
    m_whyNot = reason;
    return false;
}

bool VirtualDesktop::start(bool withTray)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return fail(QStringLiteral("Xvfb is not installed"));
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (withTray && trayer.isEmpty())
        return fail(QStringLiteral("no tray host: trayer is not installed"));

    // The server picks a free display and writes its number to our pipe.
    m_server = std::make_unique<QProcess>();
    m_server->setProcessChannelMode(QProcess::SeparateChannels);
    m_server->start(xvfb,
                    { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                      QStringLiteral("0"), QStringLiteral("1024x768x24"),
                      QStringLiteral("-nolisten"), QStringLiteral("tcp") });
    QByteArray number;
    const QDeadlineTimer deadline(15000);
    while (!number.endsWith('\n') && !deadline.hasExpired()
           && m_server->state() != QProcess::NotRunning) {
        m_server->waitForReadyRead(100);
        number += m_server->readAllStandardOutput();
    }
    if (!number.endsWith('\n'))
        return fail(QStringLiteral("Xvfb did not start: ")
                    + QString::fromLocal8Bit(m_server->readAllStandardError()));
    m_display = QLatin1Char(':') + QString::fromLatin1(number.trimmed());
    if (!withTray)
        return true;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    m_tray = std::make_unique<QProcess>();
    m_tray->setProcessEnvironment(environment);
    m_tray->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_tray->start(trayer,
                  { QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"),
                    QStringLiteral("right"), QStringLiteral("--widthtype"),
                    QStringLiteral("request"), QStringLiteral("--height"), QStringLiteral("24") });
    if (!m_tray->waitForStarted(5000))
        return fail(QStringLiteral("trayer did not start"));
    return true;
}
