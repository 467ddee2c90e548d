#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

// One run of the quorvane program beside the tests ($KEYCRATE_BIN_DIR), to
// its end: what it printed, and its exit code, -1 when it crashed or did
// not end within two minutes (it is then killed).
struct QuorvaneRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;

    static QuorvaneRun run(const QStringList &arguments, const QByteArray &input = {},
                           const QProcessEnvironment &environment
                           = QProcessEnvironment::systemEnvironment());
};
