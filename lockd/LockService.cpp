#include "LockService.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int AcceptsPerTurn = 64;
constexpr int AcceptPauseMs = 200;

long long nowMs()
{
    timespec now {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

LockService::LockService(int listener, LockTable &table, int idleSeconds)
    : m_listener(listener)
    , m_table(table)
    , m_idleSeconds(idleSeconds)
{
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGHUP);
    ::sigprocmask(SIG_BLOCK, &ending, nullptr);
    m_signals = ::signalfd(-1, &ending, SFD_NONBLOCK | SFD_CLOEXEC);
    watch(m_signals, EPOLLIN, true);
    watch(m_listener, EPOLLIN, true);
}

LockService::~LockService()
{
    for (auto &[fd, client] : m_clients)
        client->release(m_table);
    m_clients.clear();
    ::close(m_listener);
    if (m_signals >= 0)
        ::close(m_signals);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

void LockService::watch(int fd, unsigned events, bool added)
{
    epoll_event event {};
    event.events = events;
    event.data.fd = fd;
    ::epoll_ctl(m_epoll, added ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
}

int LockService::run()
{
    if (m_epoll < 0 || m_signals < 0) {
        std::perror("keycrate-lockd: event loop");
        return 1;
    }
    long long idleSince = nowMs();
    epoll_event events[64];
    for (;;) {
        int timeout = -1;
        if (m_acceptPausedUntil)
            timeout = static_cast<int>(std::max(0LL, m_acceptPausedUntil - nowMs()));
        if (m_clients.empty() && m_idleSeconds > 0) {
            const long long left = idleSince + m_idleSeconds * 1000LL - nowMs();
            if (left <= 0)
                return 0;
            timeout
                = timeout < 0 ? static_cast<int>(left) : std::min(timeout, static_cast<int>(left));
        }
        const int count = ::epoll_wait(m_epoll, events, 64, timeout);
        if (count < 0 && errno != EINTR) {
            std::perror("keycrate-lockd: epoll_wait");
            return 1;
        }
        if (m_acceptPausedUntil && nowMs() >= m_acceptPausedUntil) {
            m_acceptPausedUntil = 0;
            watch(m_listener, EPOLLIN, true);
        }
        for (int index = 0; index < count; ++index) {
            const int fd = events[index].data.fd;
            if (fd == m_signals)
                return 0;
            if (fd == m_listener)
                accept();
            else
                serve(fd, events[index].events);
        }
        if (m_clients.empty() && count > 0)
            idleSince = nowMs();
    }
}

void LockService::accept()
{
    for (int turn = 0; turn < AcceptsPerTurn; ++turn) {
        const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Waiting clients keep the socket readable: stop looking for a while.
                ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listener, nullptr);
                m_acceptPausedUntil = nowMs() + AcceptPauseMs;
            }
            return;
        }
        ucred peer {};
        socklen_t length = sizeof peer;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            ::close(fd);
            continue;
        }
        m_clients[fd] = std::make_unique<ClientConnection>(fd, peer.uid);
        watch(fd, EPOLLIN | EPOLLRDHUP, true);
    }
}

void LockService::serve(int fd, unsigned events)
{
    const auto found = m_clients.find(fd);
    if (found == m_clients.end())
        return;
    ClientConnection &client = *found->second;
    bool keep = true;
    if (events & EPOLLOUT)
        keep = client.writeAnswers();
    if (keep && (events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
        keep = client.readRequests(m_table);
    if (!keep) {
        end(fd);
        return;
    }
    // Answers that wait are sent before anything more is read.
    watch(fd, client.hasPendingAnswers() ? EPOLLOUT : (EPOLLIN | EPOLLRDHUP), false);
}

void LockService::end(int fd)
{
    const auto found = m_clients.find(fd);
    if (found == m_clients.end())
        return;
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
    found->second->release(m_table);
    m_clients.erase(found);
}
