#pragma once

#include "IQuorvane.h"

#include <QByteArray>
#include <QStringList>

class QTextStream;

namespace Platform {
class InstanceClient;
}

// keycrate-send: the shell's way to a running keycrate.
//
//   keycrate-send lock FILE    lock FILE, or unlock it when it is locked
//   keycrate-send upload FILE  hand FILE to keycrate's online backup
//   keycrate-send show         bring keycrate's window up
//   keycrate-send quit         end keycrate at once
//   keycrate-send list         print the published list of locked files
class KeycrateSend
{
public:
    // A lock passes keycrate's own result on.
    enum ExitStatus {
        Success = Quorvane::Success,
        Usage = 2,
        NotRunning = 3,
        NoSuchFile = 4,
        NoAnswer = 5,
        LockFailed = Quorvane::Failure,
    };

    KeycrateSend(QTextStream &out, QTextStream &err);

    // Arguments without the program name; returns the exit status.
    int run(const QStringList &arguments);

    static QString usage();

private:
    int handOverFile(const QString &file, qint64 command);
    // Sends a hand-over command; Success once it is delivered, otherwise the
    // failure, already reported.
    int sendHandOver(const Platform::InstanceClient &client, qint64 command, qint64 *result,
                     bool *handled);
    int show();
    int quit();
    int list();
    // The published block, read whole while it is locked; false when there is none.
    static bool readPublishedList(QByteArray *list);

    QTextStream &m_out;
    QTextStream &m_err;
    int m_timeoutMs = -1;
};
