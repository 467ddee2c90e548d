#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

// A keycrate of a test's own: the program, and a library as libQuorvane.so,
// copied into a fresh folder, so its lock list is private. It runs offscreen
// with every box answered and its log (boxes, window, messages) on its output.
// Every wait is bounded; the destructor kills what is still running.
class KeycrateProcess
{
public:
    // library: a file of the build's bin folder to serve as libQuorvane.so;
    // empty for none.
    explicit KeycrateProcess(const QString &library = QStringLiteral("libQuorvane.so"));
    ~KeycrateProcess();

    QString folder() const { return m_folder.path(); }
    QString program() const;
    QString listPath() const;

    void start(const QStringList &arguments = {});
    // True once the output holds the text.
    bool waitForOutput(const QString &text, int timeoutMs = 10000);
    bool waitForExit(int timeoutMs = 10000);
    QString output();
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    qint64 processId() const { return m_process.processId(); }

    struct Run
    {
        bool finished;
        int exitCode;
        QString output;
    };
    // Runs a program to its end (killed after the timeout), as keycrate's
    // processes see each other.
    static Run run(const QString &program, const QStringList &arguments,
                   const QString &workingFolder = {}, int timeoutMs = 10000);
    static QString binary(const QString &name);
    // The block keycrate publishes its list in, as this user's other programs
    // read it; nullopt when there is none.
    static std::optional<QByteArray> publishedList();
    static QProcessEnvironment environment();

private:
    QTemporaryDir m_folder;
    QProcess m_process;
    QString m_output;
};
