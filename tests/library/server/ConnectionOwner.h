#pragma once

#include "LogConnection.h"
#include "QuorvaneUser.h"

#include <QBasicTimer>
#include <QEventLoop>
#include <QList>
#include <QObject>
#include <QPair>
#include <QStringList>
#include <QTimer>
#include <QTimerEvent>
#include <functional>

class RecordingUser : public Quorvane::QuorvaneUser
{
public:
    void OnFinished(int, int) override { }
    void OnMessage(const char *text) override { messages << QString::fromLocal8Bit(text); }
    void OnProgress(int done, int total) override { progress.append({ done, total }); }

    QStringList messages;
    QList<QPair<int, int>> progress;
};

// Acts as the pipe does: lends its timer to the connection, and on every tick
// calls the pending operation again until it hands out a final result.
class ConnectionOwner : public QObject
{
public:
    explicit ConnectionOwner(Quorvane::LogConnection &connection)
    {
        connection.setOwnerTimer(&timer, this);
    }

    // The codes one operation hands out: the first call's and, after a 77,
    // the final one collected on the timer (-1 when none came in time).
    QList<int> run(const std::function<int()> &operation, int timeoutMs = 60000)
    {
        const int first = operation();
        if (first != 77)
            return { first };
        results.clear();
        call = operation;
        // A real event loop: the client's threads hand data over through it, so
        // a loop that naps between rounds would slow every transfer down.
        QEventLoop loop;
        m_loop = &loop;
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        m_loop = nullptr;
        if (results.isEmpty())
            return { first, -1 };
        return { first, results.first() };
    }

    QBasicTimer timer;
    std::function<int()> call;
    QList<int> results;

private:
    QEventLoop *m_loop = nullptr;

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() != timer.timerId())
            return;
        if (!call) {
            timer.stop();
            return;
        }
        const int result = call();
        if (result != 77) {
            timer.stop();
            call = nullptr;
            results << result;
            if (m_loop)
                m_loop->quit();
        }
    }
};
