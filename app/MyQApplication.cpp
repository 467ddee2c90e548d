#include "MyQApplication.h"

#include "ApplicationFolder.h"
#include "IQuorvane.h"
#include "InstanceProtocol.h"
#include "InstanceServer.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "ResourceLimits.h"
#include "TerminationSignals.h"
#include "TheManager.h"

#include <QCloseEvent>
#include <QLibrary>
#include <QLoggingCategory>
#include <cstdio>
#include <cstdlib>

namespace {
Q_LOGGING_CATEGORY(appLog, "keycrate.app", QtWarningMsg)
}

MyQApplication::MyQApplication(int &argc, char **argv,
                               std::unique_ptr<Platform::InstanceServer> instance)
    : QApplication(argc, argv)
    , m_instance(std::move(instance))
{
    // The window only hides: a box closed while it is hidden must not end us.
    setQuitOnLastWindowClosed(false);
    // A desktop session ends programs with SIGTERM: leave the loop in order.
    m_termination = std::make_unique<Platform::TerminationSignals>();
    connect(m_termination.get(), &Platform::TerminationSignals::terminationRequested, this,
            [](int signalNumber) {
                qCInfo(appLog) << "ending on signal" << signalNumber;
                QCoreApplication::quit();
            });
    // Thousands of locked files are thousands of open files.
    Platform::ResourceLimits::raiseOpenFileLimit();

    // The running program's own folder, whatever the first argument says.
    setApplicationFolder(QCoreApplication::applicationDirPath());
    bindLibrary();

    if (!ReloadLockedFiles()) {
        std::fprintf(stderr, "keycrate: cannot open the lock list %s\n",
                     qPrintable(LockListPath()));
        std::_Exit(99);
    }

    m_mainWindow = new TheManager;
    m_mainWindow->setInterface(m_interface);
    m_mainWindow->installEventFilter(this);

    const bool hidden = argc == 2 && qstrcmp(argv[1], "-s") == 0;
    m_mainWindow->show();
    if (hidden) {
        m_mainWindow->hide();
        qCInfo(appLog) << "started hidden";
    } else {
        m_mainWindow->UpdateLockedList();
        qCInfo(appLog) << "main window shown";
    }

    if (m_instance) {
        m_instance->setFilter([this](const Platform::WindowMessage &message, qint64 *result) {
            return messageFilter(message, result);
        });
        if (!m_instance->listen())
            std::fprintf(stderr, "keycrate: other programs cannot reach this instance: %s\n",
                         qPrintable(m_instance->errorString()));
    }
}

MyQApplication::~MyQApplication()
{
    // No more messages; the instance lock is kept until the list is tidy, so
    // that a new start cannot write it meanwhile.
    if (m_instance)
        m_instance->close();
    CompactLockList();
    WithdrawLockList();
    delete m_mainWindow;
    m_termination.reset();
    m_instance.reset();
}

bool MyQApplication::messageFilter(const Platform::WindowMessage &message, qint64 *result)
{
    bool consumed = false;
    switch (message.message) {
    case InstanceProtocol::CloseRequest:
        m_mainWindow->hide();
        qCInfo(appLog) << "main window hidden";
        *result = 0;
        consumed = true;
        break;
    case InstanceProtocol::HandOver:
        return handOver(message.lParam, result);
    case InstanceProtocol::EndProcess:
        endAtOnce();
    default:
        break;
    }
    return consumed;
}

bool MyQApplication::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_mainWindow && event->type() == QEvent::Close) {
        qint64 result = 0;
        messageFilter({ InstanceProtocol::CloseRequest, 0, 0 }, &result);
        event->ignore();
        return true;
    }
    return QApplication::eventFilter(watched, event);
}

void MyQApplication::bindLibrary()
{
    m_library = new QLibrary(applicationFolder() + QStringLiteral("/Quorvane"));
    if (!m_library->load())
        stopAfterBindingError(QT_TRANSLATE_NOOP("MyQApplication", "Unable to load the Quorvane\n."),
                              m_library->errorString());
    const auto getQuorvanePointer = reinterpret_cast<Quorvane::GetQuorvanePointerFunction>(
        m_library->resolve("GetQuorvanePointer"));
    if (!getQuorvanePointer)
        stopAfterBindingError(
            QT_TRANSLATE_NOOP("MyQApplication", "Unable to resolve the function."),
            m_library->errorString());
    m_interface = getQuorvanePointer();
    if (!m_interface)
        stopAfterBindingError(
            QT_TRANSLATE_NOOP("MyQApplication", "Unable to resolve the interface pointer."),
            QStringLiteral("GetQuorvanePointer returned null"));
}

void MyQApplication::stopAfterBindingError(const char *text, const QString &detail)
{
    std::fprintf(stderr, "keycrate: %s\n", qPrintable(detail));
    Platform::MessageBoxes::critical(nullptr, tr("Error"), tr(text));
    std::fflush(nullptr);
    std::_Exit(EXIT_FAILURE);
}

bool MyQApplication::handOver(qint64 command, qint64 *result)
{
    switch (command) {
    case InstanceProtocol::LockCommand:
        *result = ToggleLock();
        return true;
    case InstanceProtocol::ShowCommand:
        showMainWindow();
        m_mainWindow->UpdateLockedList();
        *result = 0;
        return true;
    default:
        return false;
    }
}

void MyQApplication::showMainWindow()
{
    m_mainWindow->show();
    m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
    qCInfo(appLog) << "main window shown";
}

void MyQApplication::endAtOnce()
{
    qCInfo(appLog) << "ending at once";
    // What the system would take away with the process: the published block
    // and the instance's registration. The list file stays as it is.
    WithdrawLockList();
    if (m_instance)
        m_instance->release();
    std::fflush(nullptr);
    std::_Exit(0);
}
