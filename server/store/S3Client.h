#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace QuorvaneServer {

// Signed requests to one bucket of an S3 object store, over libcurl (which
// signs them). Answers of the store's own trouble (5xx, throttling) and broken
// connections are tried again after a growing pause.
class S3Client
{
public:
    struct Settings
    {
        std::string endpoint; // "http://host:port", path-style requests
        std::string region = "us-east-1";
        std::string bucket;
        std::string accessKey;
        std::string secretKey;
        // Files larger than this go up in parts of this size (at least 5 MiB).
        uint64_t partSize = 16ull << 20;
        // Parts of one upload in flight at once.
        int transfers = 4;
        long timeoutSeconds = 30;
        // A multipart upload's lease, renewed while its server lives: the
        // sweep of any server aborts an upload whose lease ran out.
        std::chrono::milliseconds uploadLease = std::chrono::minutes(5);
        int attempts = 4;
        // The memory of buffers all streamed transfers share (see
        // TransferBudget).
        uint64_t bufferBudget = 32ull << 20;
    };

    struct Request
    {
        std::string method = "GET";
        std::string key; // within the bucket, not encoded; empty for the bucket
        std::string query; // canonical: names sorted, values encoded, "name=" for a bare name
        std::string body;
        // The body read from this file instead: length bytes from offset.
        int bodyFd = -1;
        uint64_t bodyOffset = 0;
        uint64_t bodyLength = 0;
        // Or the bodyLength bytes given by this as they come: it fills at
        // most size bytes at data and returns how many, 0 to stop the
        // transfer. Such a request is tried again only if nothing was taken.
        std::function<size_t(char *data, size_t size)> source;
        // A successful answer's body written to this file instead of body.
        int sinkFd = -1;
        // A successful answer's body given to this in order instead; false
        // stops the transfer.
        std::function<bool(const char *data, size_t size)> sink;
        // Called once, with the body's length, before the first byte of a
        // successful answer goes to the sink.
        std::function<void(uint64_t length)> answered;
        std::string range;
        // Asked now and then during the transfer; true ends it.
        std::function<bool()> cancelled;
    };

    struct Response
    {
        // The HTTP status; 0 when no answer came (see failure).
        long status = 0;
        std::string body;
        std::string etag;
        std::string failure;
        // Bytes of the body that went to a stream sink.
        uint64_t delivered = 0;
        // Bytes the request's source gave.
        uint64_t sent = 0;
        // The Content-Length of the answer, -1 when it had none.
        int64_t length = -1;
        bool ok() const { return status >= 200 && status < 300; }
    };

    explicit S3Client(Settings settings);

    // The buffers curl keeps for a streamed answer, and for a body of
    // length bytes given by a source.
    static constexpr size_t ReceiveBuffer = 256 * 1024;
    static size_t sendBuffer(uint64_t length);

    // Never throws; the last attempt's answer.
    Response send(const Request &request) const;
    // Percent-encodes text as a path (keeping '/') or as a query value.
    static std::string encode(const std::string &text, bool keepSlash);

    const Settings &settings() const { return m_settings; }

    // Requests all clients of the process made (each attempt counts), and
    // the connections to a store they opened for them: with connections
    // reused, far fewer than the requests.
    static uint64_t requestsMade();
    static uint64_t connectionsMade();

private:
    Response attempt(const Request &request) const;

    Settings m_settings;
};

} // namespace QuorvaneServer
