#pragma once

#include "InterfaceSingleton.h"
#include "LibraryHost.h"
#include "LibrarySettings.h"
#include "PipePool.h"
#include "QuorvPipe.h"
#include "QuorvaneInterface.h"

#include <QTcpServer>
#include <QTemporaryDir>
#include <memory>

// The library linked in, so a test can see which pipe served an add: the one
// whose result map grew.
class PoolProbe
{
public:
    // Settings point at a port nobody listens on: server steps fail at once
    // and never reach a real server.
    bool setUp()
    {
        QTcpServer probe;
        if (!m_data.isValid() || !probe.listen(QHostAddress::LocalHost, 0))
            return false;
        const QByteArray deadUrl = "http://127.0.0.1:" + QByteArray::number(probe.serverPort());
        probe.close();
        LibrarySettings::configure(QString::fromLatin1(deadUrl), m_data.path());
        library = Quorvane::InterfaceSingleton::obtain();
        pool = library ? library->pipePool() : nullptr;
        return pool != nullptr;
    }

    QList<int> sizes() const
    {
        QList<int> counts;
        for (int i = 0; i < pool->size(); ++i)
            counts << int(pool->pipe(i).results().size());
        return counts;
    }

    // Adds a text event that stays local (no server step) and answers the
    // pipe that took it, or -1.
    int addTextEvent(RecordingUser &user, int kind = 1)
    {
        const QList<int> before = sizes();
        const int finished = user.finishes.size();
        if (library->addEvent(hostEvent(kind, 2, "Rotating", ""), &user) != 0
            || !user.waitForFinished(finished + 1))
            return -1;
        return grown(before);
    }

    int grown(const QList<int> &before) const
    {
        const QList<int> after = sizes();
        int found = -1;
        for (int i = 0; i < after.size(); ++i) {
            if (after[i] != before[i]) {
                if (found != -1)
                    return -1;
                found = i;
            }
        }
        return found;
    }

    Quorvane::QuorvaneInterface *library = nullptr;
    Quorvane::PipePool *pool = nullptr;

private:
    QTemporaryDir m_data;
};
