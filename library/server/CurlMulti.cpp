#include "CurlMulti.h"

#include <QSocketNotifier>
#include <algorithm>
#include <mutex>

namespace Quorvane {

namespace {

void initialiseCurl()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::shared_ptr<CurlMulti> CurlMulti::forThisThread()
{
    static thread_local std::weak_ptr<CurlMulti> current;
    std::shared_ptr<CurlMulti> multi = current.lock();
    if (!multi) {
        // The last holder may let go from inside one of curl's callbacks; the
        // handle then goes once the event loop is back.
        multi = std::shared_ptr<CurlMulti>(new CurlMulti, [](CurlMulti *m) {
            if (m->insideCurl())
                m->deleteLater();
            else
                delete m;
        });
        current = multi;
    }
    return multi;
}

CurlMulti::CurlMulti()
{
    initialiseCurl();
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::socketCallback);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::timerCallback);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    m_disposed.clear();
    m_waitingToStart.clear();
    curl_multi_cleanup(m_multi); // closes the pooled connections, unwatching them
    for (SocketWatch *watch : std::as_const(m_watches)) {
        delete watch->read;
        delete watch->write;
        delete watch;
    }
}

bool CurlMulti::add(CURL *easy)
{
    if (m_depth > 0) {
        m_waitingToStart.push_back(easy);
        return true;
    }
    return curl_multi_add_handle(m_multi, easy) == CURLM_OK;
}

void CurlMulti::detach(CURL *easy)
{
    const auto waiting = std::find(m_waitingToStart.begin(), m_waitingToStart.end(), easy);
    if (waiting != m_waitingToStart.end())
        m_waitingToStart.erase(waiting);
    else
        curl_multi_remove_handle(m_multi, easy);
}

void CurlMulti::dispose(std::unique_ptr<CurlClient> client)
{
    if (m_depth > 0)
        m_disposed.push_back(std::move(client));
    else
        client.reset();
}

void CurlMulti::resume(CURL *easy)
{
    ++m_depth;
    curl_easy_pause(easy, CURLPAUSE_CONT);
    --m_depth;
    settle();
}

int CurlMulti::socketCallback(CURL *, curl_socket_t socket, int what, void *self, void *watch)
{
    auto *multi = static_cast<CurlMulti *>(self);
    if (what == CURL_POLL_REMOVE)
        multi->unwatch(socket, static_cast<SocketWatch *>(watch));
    else
        multi->watch(socket, what, static_cast<SocketWatch *>(watch));
    return 0;
}

int CurlMulti::timerCallback(CURLM *, long timeoutMs, void *self)
{
    // Never act from here: curl forbids calling back into itself.
    auto *multi = static_cast<CurlMulti *>(self);
    if (timeoutMs < 0)
        multi->m_timer.stop();
    else
        multi->m_timer.start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

void CurlMulti::watch(curl_socket_t socket, int what, SocketWatch *existing)
{
    SocketWatch *watch = existing;
    if (!watch) {
        watch = new SocketWatch;
        watch->read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        watch->write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        connect(watch->read, &QSocketNotifier::activated, this,
                [this, socket] { act(socket, CURL_CSELECT_IN); });
        connect(watch->write, &QSocketNotifier::activated, this,
                [this, socket] { act(socket, CURL_CSELECT_OUT); });
        curl_multi_assign(m_multi, socket, watch);
        m_watches.insert(socket, watch);
    }
    watch->read->setEnabled(what & CURL_POLL_IN);
    watch->write->setEnabled(what & CURL_POLL_OUT);
}

void CurlMulti::unwatch(curl_socket_t socket, SocketWatch *watch)
{
    if (!watch)
        return;
    m_watches.remove(socket);
    // A notifier may be the one whose signal is running right now.
    watch->read->setEnabled(false);
    watch->write->setEnabled(false);
    watch->read->disconnect(this);
    watch->write->disconnect(this);
    watch->read->deleteLater();
    watch->write->deleteLater();
    delete watch;
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    if (m_depth > 0) {
        // A nested event loop inside one of our callbacks: curl cannot be
        // entered again now. Sockets report again; a timeout must be retried.
        if (socket == CURL_SOCKET_TIMEOUT)
            m_timer.start(1);
        return;
    }
    ++m_depth;
    int running = 0;
    curl_multi_socket_action(m_multi, socket, events, &running);
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CurlClient *client = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &client);
        const CURLcode code = message->data.result;
        if (client)
            client->transferDone(code);
    }
    --m_depth;
    settle();
}

void CurlMulti::settle()
{
    // What the callbacks asked for, now that curl has returned.
    while (!m_disposed.empty() || !m_waitingToStart.empty()) {
        ++m_depth; // a disposed client's destructor must not reach back in here
        std::vector<std::unique_ptr<CurlClient>> disposed;
        disposed.swap(m_disposed);
        --m_depth;
        disposed.clear();
        std::vector<CURL *> waiting;
        waiting.swap(m_waitingToStart);
        for (CURL *easy : waiting) {
            if (curl_multi_add_handle(m_multi, easy) == CURLM_OK)
                continue;
            // Never leave a transfer waiting for an end that cannot come.
            CurlClient *client = nullptr;
            curl_easy_getinfo(easy, CURLINFO_PRIVATE, &client);
            ++m_depth;
            if (client)
                client->transferDone(CURLE_FAILED_INIT);
            --m_depth;
        }
    }
}

} // namespace Quorvane
