#include "KeycrateSend.h"

#include "CommandLine.h"
#include "HandOverSetting.h"
#include "InstanceClient.h"
#include "InstanceProtocol.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSharedMemory>
#include <QTextStream>
#include <QThread>

namespace {

Platform::InstanceClient instanceClient()
{
    return Platform::InstanceClient(QString::fromLatin1(InstanceProtocol::WindowTitle));
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
    const QFileInfo info(file);
    if (!info.isFile()) {
        m_err << "keycrate-send: " << file
              << (info.exists() ? ": not a regular file\n" : ": no such file\n");
        return NoSuchFile;
    }
    const Platform::InstanceClient client = instanceClient();
    if (!client.exists()) {
        m_err << "keycrate-send: keycrate is not running\n";
        return NotRunning;
    }
    if (!Platform::HandOverSetting::write(QFile::encodeName(info.absoluteFilePath()))) {
        m_err << "keycrate-send: cannot write the settings to hand the file over\n";
        return NoAnswer;
    }
    qint64 result = 0;
    bool handled = false;
    const int status = sendHandOver(client, command, &result, &handled);
    if (status != Success)
        return status;
    if (!handled) {
        m_err << "keycrate-send: keycrate did not take the request\n";
        return NoAnswer;
    }
    if (command == InstanceProtocol::LockCommand && result != Quorvane::Success) {
        m_err << "keycrate-send: keycrate could not lock or unlock " << info.absoluteFilePath()
              << "\n";
        return LockFailed;
    }
    return Success;
}

int KeycrateSend::sendHandOver(const Platform::InstanceClient &client, qint64 command,
                               qint64 *result, bool *handled)
{
    switch (client.send({ InstanceProtocol::HandOver, 0, command }, result, handled, m_timeoutMs)) {
    case Platform::InstanceClient::Outcome::NoInstance:
        m_err << "keycrate-send: keycrate is not running\n";
        return NotRunning;
    case Platform::InstanceClient::Outcome::NoAnswer:
        m_err << "keycrate-send: keycrate did not answer\n";
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
    const int status
        = sendHandOver(instanceClient(), InstanceProtocol::ShowCommand, &result, &handled);
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
    QByteArray published;
    if (readPublishedList(&published)) {
        m_out.flush();
        QFile out;
        out.open(stdout, QIODevice::WriteOnly);
        out.write(published);
        return Success;
    }
    // No block: keycrate publishes nothing while its list is empty.
    if (instanceClient().exists())
        return Success;
    m_err << "keycrate-send: keycrate is not running\n";
    return NotRunning;
}

bool KeycrateSend::readPublishedList(QByteArray *list)
{
    QSharedMemory block(QLatin1String(InstanceProtocol::LockListKey));
    if (!block.attach(QSharedMemory::ReadOnly))
        return false;
    block.lock();
    *list = QByteArray(static_cast<const char *>(block.constData()), block.size());
    block.unlock();
    block.detach();
    return true;
}
