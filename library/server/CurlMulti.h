#pragma once

#include <QHash>
#include <QObject>
#include <QTimer>
#include <curl/curl.h>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace Quorvane {

// One transfer as the multi handle sees it: told once when curl is done with
// it. Deleting a client removes its easy handle (see CurlMulti::dispose).
class CurlClient
{
public:
    virtual ~CurlClient() = default;
    virtual void transferDone(CURLcode code) = 0;
};

// A curl multi handle driven by this thread's Qt event loop: curl's sockets
// are watched by socket notifiers and its timeout by a single-shot timer, so
// transfers need no thread of their own and nothing polls. The transfers of
// one thread share the handle and with it curl's pool of open connections.
class CurlMulti : public QObject
{
    Q_OBJECT
public:
    // This thread's handle; it lives as long as someone holds it.
    static std::shared_ptr<CurlMulti> forThisThread();

    ~CurlMulti() override;

    // Starts the transfer of easy, whose CURLOPT_PRIVATE must be client.
    // Inside curl's callbacks the start waits until curl has returned.
    bool add(CURL *easy);
    // Removes easy from the multi handle (a client's destructor calls this).
    void detach(CURL *easy);
    // Deletes a client now, or, inside curl's callbacks, once curl has
    // returned: curl must not lose a handle it is still working on.
    void dispose(std::unique_ptr<CurlClient> client);

    // Lets a paused transfer go on (curl may call it back from inside).
    void resume(CURL *easy);

    bool insideCurl() const { return m_depth > 0; }

private:
    struct SocketWatch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    CurlMulti();
    static int socketCallback(CURL *easy, curl_socket_t socket, int what, void *self, void *watch);
    static int timerCallback(CURLM *multi, long timeoutMs, void *self);
    void watch(curl_socket_t socket, int what, SocketWatch *existing);
    void unwatch(curl_socket_t socket, SocketWatch *watch);
    void act(curl_socket_t socket, int events);
    void settle();

    CURLM *m_multi = nullptr;
    QTimer m_timer;
    QHash<curl_socket_t, SocketWatch *> m_watches;
    std::vector<CURL *> m_waitingToStart;
    std::vector<std::unique_ptr<CurlClient>> m_disposed;
    int m_depth = 0;
};

} // namespace Quorvane
