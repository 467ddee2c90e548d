#pragma once

#include "ClientConnection.h"
#include "LockTable.h"

#include <map>
#include <memory>

// The event loop: accepts clients on the listening socket, serves each as
// its data comes (one never waits for another), lets go of a client's files
// when its connection ends, and ends after a while without clients or on
// SIGTERM/SIGINT, releasing everything still held.
class LockService
{
public:
    // listener: a listening stream socket, owned from now on. idleSeconds <= 0
    // never ends for want of clients.
    LockService(int listener, LockTable &table, int idleSeconds);
    ~LockService();
    LockService(const LockService &) = delete;
    LockService &operator=(const LockService &) = delete;

    // Runs until the end; the exit status.
    int run();

private:
    void accept();
    void serve(int fd, unsigned events);
    void end(int fd);
    void watch(int fd, unsigned events, bool added);

    int m_listener;
    int m_epoll = -1;
    int m_signals = -1;
    LockTable &m_table;
    int m_idleSeconds;
    // Accepting pauses while the service is out of descriptors.
    long long m_acceptPausedUntil = 0;
    std::map<int, std::unique_ptr<ClientConnection>> m_clients;
};
