#include "KeycrateSend.h"

#include "AdvisoryLock.h"
#include "CommandLine.h"
#include "HandOverSetting.h"
#include "InstanceAddress.h"
#include "InstanceClient.h"
#include "InstanceProtocol.h"
#include "LockProtectionTexts.h"
#include "MessageFrame.h"
#include "ProtectionClient.h"
#include "PublishedBlock.h"
#include "RegularFile.h"
#include "SharedMemoryKey.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <QThread>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString title()
{
    return QString::fromLatin1(InstanceProtocol::WindowTitle);
}

Platform::InstanceClient instanceClient()
{
    return Platform::InstanceClient(title());
}

// The path as the kernel resolves it from here: made absolute, with "." and
// empty parts dropped but every ".." kept, since a link before it decides
// where it leads. What is checked is what is handed over.
QByteArray absolutePath(const QString &file)
{
    QByteArray path = QFile::encodeName(file);
    if (!path.startsWith('/'))
        path = QFile::encodeName(QDir::currentPath()) + '/' + path;
    QByteArrayList kept;
    for (const QByteArray &part : path.split('/')) {
        if (!part.isEmpty() && part != ".")
            kept.append(part);
    }
    return '/' + kept.join('/');
}

} // namespace

KeycrateSend::KeycrateSend(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{
}

QString KeycrateSend::usage()
{
    return QStringLiteral(
        "Usage: keycrate-send [--timeout SECONDS] COMMAND [FILE]\n"
        "Talks to the keycrate running for this user.\n"
        "\n"
        "  lock FILE    lock FILE, or unlock it when it is locked; keycrate confirms\n"
        "               with a box, and this waits until it is closed\n"
        "  upload FILE  hand FILE to keycrate's online backup\n"
        "  show         bring keycrate's window up\n"
        "  quit         end keycrate at once (its lock list is not tidied up)\n"
        "  list         print the locked files keycrate publishes, one a line\n"
        "\n"
        "  --timeout SECONDS  give up waiting for keycrate's answer after SECONDS\n"
        "  -h, --help         print this help\n"
        "  -v, --version      print the version\n"
        "\n"
        "Exit status: 0 done, 99 the lock or unlock failed, 2 wrong usage,\n"
        "3 keycrate is not running, 4 no such file, 5 keycrate did not answer\n"
        "or did not take the request.\n");
}

int KeycrateSend::run(const QStringList &arguments)
{
    CommandLine commandLine(QStringLiteral("keycrate-send"), usage());
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(),
                                     QStringLiteral("SECONDS"));
    commandLine.addOption(timeout);
    // Options come before the command; what follows it is the command's own,
    // so a file whose name starts with a dash needs no "--".
    qsizetype commandAt = 0;
    while (commandAt < arguments.size() && arguments.at(commandAt).startsWith(QLatin1Char('-'))) {
        const QString &word = arguments.at(commandAt);
        commandAt += word == QLatin1String("--timeout") ? 2 : 1;
        if (word == QLatin1String("--"))
            break;
    }
    const QStringList options = arguments.mid(0, commandAt);
    QStringList words = arguments.mid(commandAt);
    const int done = commandLine.parse(options, m_out, m_err);
    if (done != CommandLine::Proceed)
        return done;
    words = commandLine.parser().positionalArguments() + words;
    if (commandLine.parser().isSet(timeout)) {
        bool ok = false;
        const double seconds = commandLine.parser().value(timeout).toDouble(&ok);
        if (!ok || seconds <= 0) {
            m_err << "keycrate-send: --timeout needs a positive number of seconds\n";
            return Usage;
        }
        m_timeoutMs = int(seconds * 1000);
    }
    const QString command = words.value(0);
    if (words.size() == 2 && command == QLatin1String("lock"))
        return handOverFile(words.at(1), InstanceProtocol::LockCommand);
    if (words.size() == 2 && command == QLatin1String("upload"))
        return handOverFile(words.at(1), InstanceProtocol::UploadCommand);
    if (words.size() == 1 && command == QLatin1String("show"))
        return show();
    if (words.size() == 1 && command == QLatin1String("quit"))
        return quit();
    if (words.size() == 1 && command == QLatin1String("list"))
        return list();
    m_err << usage();
    return Usage;
}

int KeycrateSend::handOverFile(const QString &file, qint64 command)
{
    const QByteArray path = absolutePath(file);
    switch (Platform::RegularFile::kindOf(path)) {
    case Platform::RegularFile::Kind::Missing:
        m_err << "keycrate-send: " << file << ": no such file\n";
        return NoSuchFile;
    case Platform::RegularFile::Kind::Other:
        m_err << "keycrate-send: " << file << ": not a regular file\n";
        return NoSuchFile;
    case Platform::RegularFile::Kind::Regular:
        break;
    }
    if (path.size() > Platform::MessageFrame::MaxPathSize) {
        m_err << "keycrate-send: " << file << ": the path is too long\n";
        return NoSuchFile;
    }
    const Platform::InstanceClient client = instanceClient();
    if (!client.exists()) {
        m_err << "keycrate-send: keycrate is not running\n";
        return NotRunning;
    }
    // The setting still names the file for senders that rely on it alone; the
    // lock keeps such a sender's setting from being overwritten before its
    // message is read, and the path travels with our own message anyway.
    QFile handOverLock(Platform::InstanceAddress(title()).handOverLockPath());
    if (!handOverLock.open(QIODevice::ReadWrite) || !waitForLock(handOverLock.handle())) {
        m_err << "keycrate-send: another sender keeps the hand-over busy\n";
        return NoAnswer;
    }
    if (!Platform::HandOverSetting::write(path)) {
        m_err << "keycrate-send: cannot write the settings to hand the file over\n";
        return NoAnswer;
    }
    qint64 result = 0;
    bool handled = false;
    const int status = sendHandOver(client, { InstanceProtocol::HandOver, 0, command, path },
                                    &result, &handled, [&] { handOverLock.close(); });
    if (status != Success)
        return status;
    if (!handled) {
        m_err << "keycrate-send: keycrate did not take the request\n";
        return NoAnswer;
    }
    if (command == InstanceProtocol::LockCommand && result != Quorvane::Success) {
        m_err << "keycrate-send: keycrate could not lock or unlock " << QFile::decodeName(path);
        if (path.contains('\n'))
            m_err << ": a file name with a line feed does not fit keycrate's lock list";
        m_err << "\n";
        return LockFailed;
    }
    if (command == InstanceProtocol::LockCommand)
        reportLock(path);
    return Success;
}

void KeycrateSend::reportLock(const QByteArray &path)
{
    QByteArray published;
    if (!readPublishedList(&published) || !published.split('\n').contains(path)) {
        m_out << "Unlocked\n";
        return;
    }
    // The file system itself says whether the lock holds against everyone.
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    const bool immutable = fd >= 0 && Platform::ProtectionClient::isImmutable(fd);
    if (fd >= 0)
        ::close(fd);
    m_out << (immutable ? LockProtectionTexts::Protected : LockProtectionTexts::Advisory) << "\n";
}

bool KeycrateSend::waitForLock(int fileDescriptor) const
{
    const QDeadlineTimer deadline(m_timeoutMs < 0 ? QDeadlineTimer(QDeadlineTimer::Forever)
                                                  : QDeadlineTimer(m_timeoutMs));
    while (!Platform::AdvisoryLock::lockExclusive(fileDescriptor)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(5);
    }
    return true;
}

int KeycrateSend::sendHandOver(const Platform::InstanceClient &client,
                               const Platform::WindowMessage &message, qint64 *result,
                               bool *handled, const std::function<void()> &delivered)
{
    switch (client.send(message, result, handled, m_timeoutMs, delivered)) {
    case Platform::InstanceClient::Outcome::NoInstance:
        m_err << "keycrate-send: keycrate is not running\n";
        return NotRunning;
    case Platform::InstanceClient::Outcome::NoAnswer:
        m_err << "keycrate-send: keycrate did not answer\n";
        return NoAnswer;
    case Platform::InstanceClient::Outcome::Busy:
        m_err << "keycrate-send: keycrate has too many requests waiting for an answer (a lock "
                 "waits until its box is closed); try again later\n";
        return NoAnswer;
    case Platform::InstanceClient::Outcome::Delivered:
        break;
    }
    return Success;
}

int KeycrateSend::show()
{
    qint64 result = 0;
    bool handled = false;
    const int status = sendHandOver(
        instanceClient(), { InstanceProtocol::HandOver, 0, InstanceProtocol::ShowCommand }, &result,
        &handled);
    if (status != Success)
        return status;
    return handled ? Success : NoAnswer;
}

int KeycrateSend::quit()
{
    const Platform::InstanceClient client = instanceClient();
    if (client.post({ InstanceProtocol::EndProcess, 0, 0 })
        != Platform::InstanceClient::Outcome::Delivered) {
        m_err << "keycrate-send: keycrate is not running\n";
        return NotRunning;
    }
    // Return once it is gone, so that what follows sees it ended.
    const QDeadlineTimer deadline(m_timeoutMs < 0 ? 10000 : m_timeoutMs);
    while (client.exists()) {
        if (deadline.hasExpired()) {
            m_err << "keycrate-send: keycrate did not end\n";
            return NoAnswer;
        }
        QThread::msleep(20);
    }
    return Success;
}

int KeycrateSend::list()
{
    // A block outlives an instance that was killed: it is only the list of a
    // running one.
    if (!instanceClient().exists()) {
        m_err << "keycrate-send: keycrate is not running\n";
        return NotRunning;
    }
    QByteArray published;
    // No block: keycrate publishes nothing while its list is empty.
    if (readPublishedList(&published)) {
        m_out.flush();
        QFile out;
        out.open(stdout, QIODevice::WriteOnly);
        out.write(published);
    }
    return Success;
}

bool KeycrateSend::readPublishedList(QByteArray *list)
{
    std::optional<QByteArray> published = Platform::PublishedBlock::read(
        Platform::SharedMemoryKey::nativeKey(QLatin1String(InstanceProtocol::LockListKey)));
    if (!published)
        return false;
    *list = std::move(*published);
    return true;
}
