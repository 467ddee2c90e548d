#pragma once

#include "IQuorvane.h"
#include "WindowMessage.h"

#include <QByteArray>
#include <QStringList>
#include <functional>

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
    int sendHandOver(const Platform::InstanceClient &client, const Platform::WindowMessage &message,
                     qint64 *result, bool *handled, const std::function<void()> &delivered = {});
    // After a lock or unlock: whether the file is locked now, and how well.
    void reportLock(const QByteArray &path);
    // Takes the hand-over lock, waiting as long as the timeout allows.
    bool waitForLock(int fileDescriptor) const;
    int show();
    int quit();
    int list();
    // The published block, read whole while it is locked; false when there is none.
    static bool readPublishedList(QByteArray *list);

    QTextStream &m_out;
    QTextStream &m_err;
    int m_timeoutMs = -1;
};
