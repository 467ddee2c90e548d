#include "store/S3Client.h"

#include "store/TransferMemory.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

namespace QuorvaneServer {

namespace {

// Answers kept in memory (listings, errors, an upload's id) end here: a page
// of a thousand of the longest keys fits, an endless one does not.
constexpr size_t MaxKeptAnswer = 4u << 20;

struct Transfer
{
    CURL *curl = nullptr;
    const S3Client::Request *request = nullptr;
    S3Client::Response *response = nullptr;
    uint64_t sent = 0;
    uint64_t received = 0;
    bool sinkFailed = false;
    bool tooLong = false;
};

size_t readBody(char *buffer, size_t size, size_t count, void *data)
{
    Transfer &transfer = *static_cast<Transfer *>(data);
    const S3Client::Request &request = *transfer.request;
    const uint64_t left = request.bodyLength - transfer.sent;
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(left, size * count));
    if (wanted == 0)
        return 0;
    if (request.source) {
        const size_t given = request.source(buffer, wanted);
        if (given == 0)
            return CURL_READFUNC_ABORT;
        transfer.sent += given;
        transfer.response->sent = transfer.sent;
        return given;
    }
    ssize_t got;
    do {
        got = ::pread(request.bodyFd, buffer, wanted,
                      static_cast<off_t>(request.bodyOffset + transfer.sent));
    } while (got < 0 && errno == EINTR);
    if (got <= 0)
        return CURL_READFUNC_ABORT;
    transfer.sent += static_cast<uint64_t>(got);
    return static_cast<size_t>(got);
}

size_t writeBody(char *data, size_t size, size_t count, void *target)
{
    Transfer &transfer = *static_cast<Transfer *>(target);
    const size_t bytes = size * count;
    long status = 0;
    curl_easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
    const bool sink = transfer.request->sinkFd >= 0 || transfer.request->sink;
    if (!sink || status < 200 || status >= 300) {
        if (transfer.response->body.size() + bytes > MaxKeptAnswer) {
            transfer.tooLong = true;
            return 0;
        }
        transfer.response->body.append(data, bytes);
        return bytes;
    }
    if (transfer.received == 0 && transfer.request->answered) {
        curl_off_t length = 0;
        curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
        transfer.request->answered(length > 0 ? static_cast<uint64_t>(length) : 0);
    }
    if (transfer.request->sink) {
        if (!transfer.request->sink(data, bytes)) {
            transfer.sinkFailed = true;
            return 0;
        }
        transfer.received += bytes;
        transfer.response->delivered = transfer.received;
        return bytes;
    }
    size_t done = 0;
    while (done < bytes) {
        const ssize_t written = ::pwrite(transfer.request->sinkFd, data + done, bytes - done,
                                         static_cast<off_t>(transfer.received + done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            transfer.sinkFailed = true;
            return 0;
        }
        done += static_cast<size_t>(written);
    }
    transfer.received += bytes;
    transfer.response->delivered = transfer.received;
    return bytes;
}

size_t readHeader(char *data, size_t size, size_t count, void *target)
{
    const size_t bytes = size * count;
    std::string line(data, bytes);
    if (line.size() > 5 && strncasecmp(line.c_str(), "etag:", 5) == 0) {
        line = line.substr(5);
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t\r\n") + 1);
        static_cast<Transfer *>(target)->response->etag = line;
    }
    return bytes;
}

// A body is sent again from its start when a connection taken from the pool
// turns out closed: a file can, a stream only before its first byte.
int seekBody(void *data, curl_off_t offset, int origin)
{
    Transfer &transfer = *static_cast<Transfer *>(data);
    if (origin != SEEK_SET || offset < 0)
        return CURL_SEEKFUNC_CANTSEEK;
    if (transfer.request->source && static_cast<uint64_t>(offset) != transfer.sent)
        return CURL_SEEKFUNC_CANTSEEK;
    transfer.sent = static_cast<uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

// Connections to the store are kept and reused by all transfers of the
// process: a new one per request costs the store a handshake and a thread.
CURLSH *connectionPool()
{
    static std::mutex locks[CURL_LOCK_DATA_LAST];
    static CURLSH *const pool = [] {
        CURLSH *share = curl_share_init();
        if (!share)
            return share;
        curl_share_setopt(
            share, CURLSHOPT_LOCKFUNC,
            +[](CURL *, curl_lock_data data, curl_lock_access, void *) { locks[data].lock(); });
        curl_share_setopt(
            share, CURLSHOPT_UNLOCKFUNC,
            +[](CURL *, curl_lock_data data, void *) { locks[data].unlock(); });
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_CONNECT);
        curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        return share;
    }();
    return pool;
}

std::atomic<uint64_t> requests { 0 };
std::atomic<uint64_t> connections { 0 };

bool worthRetrying(const S3Client::Response &response)
{
    return response.status == 0 || response.status == 429 || response.status >= 500;
}

} // namespace

S3Client::S3Client(Settings settings)
    : m_settings(std::move(settings))
{
    static std::once_flag once;
    std::call_once(once, [] { TransferMemory::install(); });
    while (!m_settings.endpoint.empty() && m_settings.endpoint.back() == '/')
        m_settings.endpoint.pop_back();
}

size_t S3Client::sendBuffer(uint64_t length)
{
    // A large body goes in the 1 MiB pieces a large upload arrives in: a
    // read and a send per piece rather than eight. Small ones, of which many
    // may run at once, keep a small buffer.
    return length >= (16u << 20) ? 1024 * 1024 : 128 * 1024;
}

uint64_t S3Client::requestsMade()
{
    return requests.load(std::memory_order_relaxed);
}

uint64_t S3Client::connectionsMade()
{
    return connections.load(std::memory_order_relaxed);
}

std::string S3Client::encode(const std::string &text, bool keepSlash)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~'
            || (keepSlash && c == '/')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

S3Client::Response S3Client::send(const Request &request) const
{
    static thread_local std::minstd_rand jitter(std::random_device {}());
    Response response;
    for (int attempt = 0; attempt < m_settings.attempts; ++attempt) {
        if (attempt > 0) {
            // Growing pauses with jitter, so that servers do not retry in step.
            const int base = 100 << std::min(attempt - 1, 5);
            std::this_thread::sleep_for(
                std::chrono::milliseconds(base + static_cast<int>(jitter() % base)));
        }
        response = this->attempt(request);
        if (!worthRetrying(response) || response.delivered > 0 || response.sent > 0
            || (request.cancelled && request.cancelled()))
            break;
    }
    return response;
}

S3Client::Response S3Client::attempt(const Request &request) const
{
    Response response;
    CURL *curl = curl_easy_init();
    if (!curl) {
        response.failure = "cannot start a transfer";
        return response;
    }
    if (request.sinkFd >= 0 && ::ftruncate(request.sinkFd, 0) != 0) {
        response.failure = std::string("cannot write a received file: ") + std::strerror(errno);
        curl_easy_cleanup(curl);
        return response;
    }
    Transfer transfer;
    transfer.curl = curl;
    transfer.request = &request;
    transfer.response = &response;

    std::string url = m_settings.endpoint + "/" + m_settings.bucket;
    if (!request.key.empty())
        url += "/" + encode(request.key, true);
    if (!request.query.empty())
        url += "?" + request.query;
    const std::string sign = "aws:amz:" + m_settings.region + ":s3";
    // The payload is not hashed into the signature: every stored file is
    // checked against its own SHA-256 when it is read.
    curl_slist *headers = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    headers = curl_slist_append(headers, "Content-Type: application/octet-stream");

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_AWS_SIGV4, sign.c_str());
    curl_easy_setopt(curl, CURLOPT_USERNAME, m_settings.accessKey.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, m_settings.secretKey.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    if (CURLSH *pool = connectionPool()) {
        curl_easy_setopt(curl, CURLOPT_SHARE, pool);
        // Stores close idle connections after some seconds; one of ours that
        // rests longer goes, rather than meet that close mid-request.
        curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, 10L);
        // A transfer that ends keeps its connection for the next one even
        // while many run: curl's default keeps five, and closed the rest.
        curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 128L);
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
    // A stalled transfer ends; a slow large one does not.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_settings.timeoutSeconds);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, writeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, readHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
    if (request.sink)
        curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, static_cast<long>(ReceiveBuffer));
    if (request.cancelled) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &request);
        curl_easy_setopt(
            curl, CURLOPT_XFERINFOFUNCTION,
            +[](void *data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
                return static_cast<const S3Client::Request *>(data)->cancelled() ? 1 : 0;
            });
    }
    if (!request.range.empty())
        curl_easy_setopt(curl, CURLOPT_RANGE, request.range.c_str());
    if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (request.bodyFd >= 0 || request.source) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE,
                         static_cast<long>(sendBuffer(request.bodyLength)));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, seekBody);
        curl_easy_setopt(curl, CURLOPT_SEEKDATA, &transfer);
        curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(request.bodyLength));
        if (request.method != "PUT")
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    } else if (request.method == "PUT" || request.method == "POST") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(request.body.size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.c_str());
    } else if (request.method != "GET") {
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }

    const CURLcode result = curl_easy_perform(curl);
    long opened = 0;
    curl_easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &opened);
    requests.fetch_add(1, std::memory_order_relaxed);
    connections.fetch_add(static_cast<uint64_t>(opened), std::memory_order_relaxed);
    if (result == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
        curl_off_t length = -1;
        if (curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK)
            response.length = length;
    } else if (transfer.tooLong) {
        // The store's fault, as a broken connection is.
        response.failure = "an answer longer than " + std::to_string(MaxKeptAnswer >> 20)
            + " MiB from the store";
        std::string().swap(response.body);
    } else {
        response.failure
            = transfer.sinkFailed ? "cannot write a received file" : curl_easy_strerror(result);
        if (transfer.sinkFailed) {
            // Not the store's fault: no retry helps.
            response.status = -1;
        }
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return response;
}

} // namespace QuorvaneServer
