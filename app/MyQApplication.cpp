#include "MyQApplication.h"

#include "ApplicationFolder.h"
#include "HandOverSetting.h"
#include "IQuorvane.h"
#include "InstanceProtocol.h"
#include "InstanceServer.h"
#include "LockRegistry.h"
#include "MessageBoxes.h"
#include "ResourceLimits.h"
#include "TerminationSignals.h"
#include "TheManager.h"
#include "TrayIcon.h"
#include "UploadJournal.h"

#include <QCloseEvent>
#include <QFile>
#include <QLibrary>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTimer>
#include <QTreeWidgetItem>
#include <cstdio>
#include <cstdlib>

namespace {

Q_LOGGING_CATEGORY(appLog, "keycrate.app", QtWarningMsg)
Q_LOGGING_CATEGORY(uploadLog, "keycrate.upload", QtWarningMsg)

// Send the file to the server only.
constexpr std::int32_t KindServerFile = 4;
// Only the owner sees an upload, whatever the default access says.
constexpr std::int32_t AccessOwner = 1;

// What SubmitUpload reads: a file for the server, its path in UTF-8 (kept
// alive by the caller).
Quorvane::EventNative uploadRequest(const QByteArray &path)
{
    Quorvane::EventNative request;
    request.path = path.constData();
    request.kind = KindServerFile;
    return request;
}

} // namespace

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
                // Not quit(): that asks the windows to close first, and the
                // main window only hides, which would call the end off.
                QCoreApplication::exit(0);
            });
    // Thousands of locked files are thousands of open files.
    Platform::ResourceLimits::raiseOpenFileLimit();

    // The running program's own folder, whatever the first argument says.
    setApplicationFolder(QCoreApplication::applicationDirPath());
    bindLibrary();
    provideDataFolder();

    if (!ReloadLockedFiles()) {
        std::fprintf(stderr, "keycrate: cannot open the lock list %s\n",
                     qPrintable(LockListPath()));
        std::_Exit(99);
    }

    m_mainWindow = new TheManager;
    m_mainWindow->setInterface(m_interface);
    m_mainWindow->installEventFilter(this);
    m_mainWindow->setWindowIcon(TrayIcon::icon());
    setUpTray();

    const bool hidden = argc == 2 && qstrcmp(argv[1], "-s") == 0;
    m_mainWindow->show();
    if (hidden) {
        m_mainWindow->hide();
        qCInfo(appLog) << "started hidden";
    } else {
        m_mainWindow->LoadSettings();
        m_mainWindow->UpdateLockedList();
        qCInfo(appLog) << "main window shown";
    }
    connect(m_mainWindow, &TheManager::UploadItem, this, &MyQApplication::HandleUINextUploadItem);

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
        return handOver(message, result);
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

void MyQApplication::setUpTray()
{
    if (!TrayIcon::available()) {
        // At login the panel may come up after us: look again for a while.
        if (m_trayChecks++ < 60)
            QTimer::singleShot(1000, this, &MyQApplication::setUpTray);
        return;
    }
    m_tray = std::make_unique<TrayIcon>();
    connect(m_tray.get(), &TrayIcon::showRequested, this, &MyQApplication::showRefreshed);
    connect(m_tray.get(), &TrayIcon::lockRequested, this, &MyQApplication::lockChosenFile);
    connect(m_tray.get(), &TrayIcon::uploadRequested, this, &MyQApplication::uploadFile);
    // The same orderly end as a termination signal: the list is compacted.
    connect(m_tray.get(), &TrayIcon::quitRequested, this, [] {
        qCInfo(appLog) << "quit from the tray";
        QCoreApplication::exit(0);
    });
    m_tray->show();
    qCInfo(appLog) << "tray icon shown";
}

void MyQApplication::lockChosenFile(const QString &path)
{
    const QByteArray target = QFile::encodeName(path);
    if (ReadLockStatuses().value(target, -1) == StatusLocked) {
        Platform::MessageBoxes::information(nullptr, tr("KEYCRATE"),
                                            tr("%1 is locked already.").arg(path));
        return;
    }
    if (ToggleLock(target) == Quorvane::Success)
        Platform::MessageBoxes::information(nullptr, tr("KEYCRATE"), tr("Operation successful!"));
    else
        Platform::MessageBoxes::critical(nullptr, tr("Error"), tr("Error locking/unlocking file!"));
    m_mainWindow->UpdateLockedList();
}

void MyQApplication::bindLibrary()
{
    m_library = new QLibrary(libraryFolder() + QStringLiteral("/Quorvane"));
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

bool MyQApplication::handOver(const Platform::WindowMessage &message, qint64 *result)
{
    const QByteArray path
        = message.path.isEmpty() ? Platform::HandOverSetting::read() : message.path;
    switch (message.lParam) {
    case InstanceProtocol::LockCommand:
        *result = ToggleHandedOver(path);
        return true;
    case InstanceProtocol::UploadCommand:
        uploadHandedOverFile(path);
        *result = 0;
        return true;
    case InstanceProtocol::ShowCommand:
        showRefreshed();
        *result = 0;
        return true;
    default:
        return false;
    }
}

void MyQApplication::provideDataFolder()
{
    // Nothing installs keycrate here: without a data folder the library has
    // nowhere to put a server's answers, so every upload would fail.
    if (qstrlen(m_interface->getDataPath()) != 0)
        return;
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/keycrate/events");
    m_interface->setDataPath(folder.toUtf8().constData());
}

void MyQApplication::uploadHandedOverFile(const QByteArray &localPath)
{
    const QString path = QFile::decodeName(localPath);
    qCInfo(uploadLog) << "upload handed over:" << path;
    uploadFile(path);
}

void MyQApplication::uploadFile(const QString &file)
{
    const QByteArray path = file.toUtf8();
    const Quorvane::EventNative request = uploadRequest(path);
    // Brings the settings tab up when the account is not set up yet.
    showRefreshed();
    SubmitUpload(request);
}

void MyQApplication::HandleUINextUploadItem(QString path)
{
    const QByteArray utf8 = path.toUtf8();
    SubmitUpload(uploadRequest(utf8));
}

void MyQApplication::SubmitUpload(const Quorvane::EventNative &request)
{
    if (!m_mainWindow->LoadSettings())
        return; // the settings tab is in front: the account comes first
    if (!m_interface)
        return;
    const QByteArray path(request.path ? request.path : "");
    const QString file = QString::fromUtf8(path);
    const QString fileName = file.mid(file.lastIndexOf(QLatin1Char('/')) + 1);
    const QByteArray name = (tr("File [") + fileName + QStringLiteral("]")).toUtf8();
    static const char description[] = "Uploaded by KEYCRATE";

    m_mainWindow->MarkUploading(file);
    m_mainWindow->ShowUploadRunning();
    // A window the user minimized during a run stays so.
    showMainWindow(false);

    Quorvane::EventNative event;
    event.name = name.constData();
    event.path = path.constData();
    event.description = description;
    event.kind = request.kind;
    event.access = AccessOwner;
    qCInfo(uploadLog) << "upload submitted:" << file;
    m_journalPending.append(file);
    // Without pipes the library takes nothing and will never report.
    if (m_interface->addEvent(event, this) != Quorvane::Success)
        OnFinished(Quorvane::Failure, 0);
}

void MyQApplication::OnFinished(int code, int count)
{
    qCInfo(uploadLog) << "upload finished" << code;
    const QString file = m_journalPending.isEmpty() ? QString() : m_journalPending.takeFirst();
    if (code == Quorvane::Success && !file.isEmpty())
        noteUpload(file, count);
    const bool marked = m_mainWindow->RecordUploadResult(code);
    if (code >= Quorvane::Failure && code <= Quorvane::Cancelled) {
        // Reported also when its row was cleared meanwhile.
        showMainWindow();
        if (code != Quorvane::Cancelled)
            QMetaObject::invokeMethod(
                this, [this, code] { showUploadFailure(code); }, Qt::QueuedConnection);
        // The run stops here; the button keeps "Cancel" until pressed.
        if (marked)
            return;
    }
    // Another transfer (a file handed over during the run) is still due: the
    // run goes on after its result.
    if (m_mainWindow->UploadsInFlight())
        return;
    if (const QTreeWidgetItem *next = m_mainWindow->NextUploadItem())
        HandleUINextUploadItem(next->text(1));
    else
        m_mainWindow->ResetUploadControls();
}

void MyQApplication::noteUpload(const QString &file, int count)
{
    // The list holds the new event beside what earlier reads and adds left
    // there, ordered by id: it is the newest event of this path not noted yet.
    const QByteArray path = file.toUtf8();
    const QHash<QString, UploadJournal::Entry> noted = UploadJournal::read();
    Quorvane::EventNative **list = m_interface->getEventList();
    QString id;
    qint64 newest = -1;
    for (int i = 0; list && i < count; ++i) {
        const Quorvane::EventNative &event = *list[i];
        if (!event.id || !event.path || path != event.path
            || noted.contains(QString::fromUtf8(event.id)))
            continue;
        const qint64 time = QByteArray(event.recordTime ? event.recordTime : "").toLongLong();
        if (time >= newest) {
            newest = time;
            id = QString::fromUtf8(event.id);
        }
    }
    if (id.isEmpty())
        qCWarning(uploadLog) << "the upload of" << file << "is not in the library's list";
    else if (!UploadJournal::record(id, file))
        qCWarning(uploadLog) << "cannot note the upload in" << UploadJournal::filePath();
}

void MyQApplication::OnMessage(const char *text)
{
    qCInfo(uploadLog) << "library:" << QString::fromLocal8Bit(text ? text : "");
}

void MyQApplication::OnProgress(int done, int total)
{
    m_mainWindow->ShowUploadProgress(done, total);
}

void MyQApplication::showUploadFailure(int code)
{
    if (code == Quorvane::LoginRefused)
        Platform::MessageBoxes::information(m_mainWindow, tr("Login error"),
                                            tr("Check username and password in Settings!"));
    else
        Platform::MessageBoxes::critical(m_mainWindow, tr("Error"), tr("Error occurred"));
}

void MyQApplication::showMainWindow(bool restoreMinimized)
{
    m_mainWindow->show();
    if (restoreMinimized)
        m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
    qCInfo(appLog) << "main window shown";
}

void MyQApplication::showRefreshed()
{
    m_mainWindow->LoadSettings();
    showMainWindow();
    m_mainWindow->UpdateLockedList();
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
