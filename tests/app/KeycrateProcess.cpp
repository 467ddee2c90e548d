#include "KeycrateProcess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QSharedMemory>
#include <unistd.h>

KeycrateProcess::KeycrateProcess(const QString &library)
{
    QFile::copy(binary(QStringLiteral("keycrate")), program());
    if (!library.isEmpty())
        QFile::copy(binary(library), m_folder.filePath(QStringLiteral("libQuorvane.so")));
    m_process.setProcessEnvironment(environment());
    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setWorkingDirectory(m_folder.path());
}

KeycrateProcess::~KeycrateProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    // A keycrate killed keeps its block in the system; the last detach,
    // this reader's, removes it.
    publishedList();
}

QString KeycrateProcess::program() const
{
    return m_folder.filePath(QStringLiteral("keycrate"));
}

QString KeycrateProcess::listPath() const
{
    return m_folder.filePath(QStringLiteral("llf"));
}

void KeycrateProcess::start(const QStringList &arguments)
{
    m_output.clear();
    m_process.start(program(), arguments);
    m_process.waitForStarted(5000);
}

QString KeycrateProcess::output()
{
    // Take in what the pipe holds now, also without an event loop.
    while (m_process.state() == QProcess::Running && m_process.waitForReadyRead(0)) { }
    m_output += QString::fromLocal8Bit(m_process.readAll());
    return m_output;
}

bool KeycrateProcess::waitForOutput(const QString &text, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!output().contains(text)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning)
            return output().contains(text);
        m_process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
    }
    return true;
}

bool KeycrateProcess::waitForExit(int timeoutMs)
{
    const bool finished
        = m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    output();
    return finished;
}

KeycrateProcess::Run KeycrateProcess::run(const QString &program, const QStringList &arguments,
                                          const QString &workingFolder, int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workingFolder.isEmpty())
        process.setWorkingDirectory(workingFolder);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    return { finished && process.exitStatus() == QProcess::NormalExit, process.exitCode(),
             QString::fromLocal8Bit(process.readAll()) };
}

QString KeycrateProcess::binary(const QString &name)
{
    return qEnvironmentVariable("KEYCRATE_BIN_DIR") + QLatin1Char('/') + name;
}

std::optional<QByteArray> KeycrateProcess::publishedList()
{
    QSharedMemory block;
    block.setNativeKey(QSharedMemory(QStringLiteral("mySharedMemory")).nativeKey()
                       + QLatin1Char('-') + QString::number(::getuid()));
    if (!block.attach(QSharedMemory::ReadOnly))
        return std::nullopt;
    block.lock();
    const QByteArray bytes(static_cast<const char *>(block.constData()), block.size());
    block.unlock();
    return bytes;
}

QProcessEnvironment KeycrateProcess::environment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("keycrate.*.info=true"));
    environment.insert(QStringLiteral("KEYCRATE_TEST_ANSWER_BOXES"), QStringLiteral("1"));
    return environment;
}
