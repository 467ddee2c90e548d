#include "QuorvaneRun.h"

#include <QProcess>

QuorvaneRun QuorvaneRun::run(const QStringList &arguments, const QByteArray &input,
                             const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane"),
                  arguments);
    process.write(input);
    process.closeWriteChannel();
    QuorvaneRun result;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished();
    } else if (process.exitStatus() == QProcess::NormalExit) {
        result.exitCode = process.exitCode();
    }
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}
