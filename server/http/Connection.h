#pragma once

#include "http/ConnectionBase.h"
#include "http/ConnectionShared.h"
#include "http/HttpService.h"
#include "http/ServerLimits.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace QuorvaneServer {

class BlockSums;
class Sha256;

using PlainStream = boost::asio::ip::tcp::socket;
using TlsStream = boost::asio::ssl::stream<boost::asio::ip::tcp::socket>;

// One client connection: reads requests one at a time, asynchronously, so that
// a slow or silent client costs a socket and a little memory, never a thread.
// Every wait has a deadline of its own (see ServerLimits). Work that blocks
// (passwords, the database, syncing files) runs on the shared work pool.
template<class Stream>
class Connection : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>>
{
public:
    Connection(Stream stream, std::string address, ConnectionShared &shared);
    ~Connection() override;

    void start();
    void stop() override;

private:
    using Clock = std::chrono::steady_clock;
    using Parser = boost::beast::http::request_parser<boost::beast::http::buffer_body>;
    enum class Phase { Handshake, Idle, Head, Body, Work, Write, Linger, Closed };

    boost::asio::ip::tcp::socket &socket();
    void arm(Clock::time_point deadline);
    void startRate();
    void onDeadline();
    int64_t unsent();
    // Bytes received and not yet read.
    int64_t unread();
    // How many bytes the kernel gathers before a read is woken.
    void wakeAfter(size_t bytes);

    void waitRequest();
    void readHead();
    void onHead(boost::system::error_code error);
    void dispatch();
    void startBody();
    void readLength();
    void readChunked();
    // Whether the upload takes bytes now; if not, reading resumes once it does.
    bool uploadReady();
    bool deliver(const char *data, size_t size);
    // As deliver, for size bytes the upload's file took in place.
    bool deliverInPlace(size_t size);
    void bodyBroke();
    void bodyDone();

    void send(Reply reply);
    void pumpList();
    void startFile();
    void sendChecked();
    void sendFromFile(uint64_t to);
    // The next piece of a stream, to onPiece() with block sums, else to
    // onStream(); its bytes stay the stream's until released.
    void readBlock();
    void onPiece(const char *data, size_t size);
    void dropBlocks();
    // Whether the client closed or reset the connection, seen without reading.
    bool hungUp();
    void watchClient();
    // Sets the request's gone while its answer is made.
    void watchWhileAnswered();
    void sendFileChunk();
    void verifyAndSendLast(size_t size);
    void onStream(const char *data, size_t size);
    void finishReply();
    void sendHeldAndFinish();
    void writeThen(std::string bytes, std::function<void()> then);
    // data stays valid until then runs.
    void writeChunk(const char *data, size_t size, std::function<void()> then);

    void lingerClose();
    void drain();
    void closeNow();
    void logRequest(int status);
    // Logs why the stored file cannot be sent on, and ends the connection:
    // the client sees a cut answer, never a wrong whole one.
    void cutDownload(const std::string &why);

    template<class Result>
    void offload(std::function<Result()> work, std::function<void(Result)> then);

    Stream m_stream;
    std::string m_address;
    ConnectionShared &m_shared;
    const ServerLimits &m_limits;
    boost::asio::steady_timer m_timer;
    Clock::time_point m_deadline;
    Phase m_phase = Phase::Idle;
    bool m_stopping = false;
    bool m_watchingClient = false;
    uint64_t m_windowBytes = 0;
    int64_t m_windowUnsent = 0;
    int64_t m_windowUnread = 0;
    size_t m_wakeAfter = 1;
    // The store is behind and no body is read: the window does not count.
    bool m_storeBehind = false;
    boost::beast::flat_buffer m_buffer;
    std::optional<Parser> m_parser;
    std::vector<char> m_chunk;
    std::string m_writing;

    // The request in progress.
    bool m_active = false;
    HttpService::Request m_request;
    HttpService::Route m_route = HttpService::Route::Unknown;
    std::optional<HttpService::Upload> m_upload;
    bool m_chunked = false;
    uint64_t m_remaining = 0;
    bool m_keepAlive = false;
    bool m_http10 = false;
    bool m_expectContinue = false;
    bool m_bodyRead = false;
    uint64_t m_in = 0;
    uint64_t m_out = 0;
    Clock::time_point m_started;
    Reply m_reply;
    bool m_closeAfter = false;
    uint64_t m_filePosition = 0;
    // With block sums: the end of the bytes checked and not yet sent.
    uint64_t m_checkedTo = 0;
    std::unique_ptr<Sha256> m_hash;
    // A file given in order by the store (FileSource::stream), the event that
    // tells a piece of it is ready, and the last piece held back until the
    // whole file, or the block it ends in, has matched.
    std::shared_ptr<BlockStream> m_blocks;
    std::optional<boost::asio::posix::stream_descriptor> m_blocksReady;
    std::string m_held;
    // The sums of the stream's blocks, taken as their pieces come.
    std::unique_ptr<BlockSums> m_blockSums;
};

extern template class Connection<PlainStream>;
extern template class Connection<TlsStream>;

} // namespace QuorvaneServer
