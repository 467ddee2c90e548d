#include "http/Connection.h"

#include "http/QueryString.h"
#include "http/RequestLog.h"
#include "http/UploadBody.h"
#include "store/BlockSums.h"
#include "store/Database.h"
#include "store/Sha256.h"

#include <atomic>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <cerrno>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>

namespace QuorvaneServer {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

constexpr size_t ChunkSize = 256 * 1024;
// An upload's file goes straight into the file's own buffer; only its document
// passes through the connection's.
constexpr size_t UploadChunkSize = 16 * 1024;
constexpr size_t DrainSize = 16 * 1024;
// A large upload's reads wait until this much has come: woken for every
// segment, the receiving thread read about 115 KiB at a time once the file
// kept up with it, and each read costs a wake-up.
constexpr size_t UploadWakeBytes = 512 * 1024;

bool hashRange(int fd, uint64_t from, uint64_t to, Sha256 &hash, std::vector<char> &buffer)
{
    while (from < to) {
        const size_t wanted = static_cast<size_t>(std::min<uint64_t>(buffer.size(), to - from));
        const ssize_t got = ::pread(fd, buffer.data(), wanted, static_cast<off_t>(from));
        if (got <= 0)
            return false;
        hash.add(buffer.data(), static_cast<size_t>(got));
        from += static_cast<uint64_t>(got);
    }
    return true;
}

std::string statusLine(int status)
{
    const auto reason = http::obsolete_reason(static_cast<http::status>(status));
    return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason.data(), reason.size())
        + "\r\n";
}

bool digitsOnly(beast::string_view value)
{
    if (value.empty())
        return false;
    for (const char c : value) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

} // namespace

template<class Stream>
Connection<Stream>::Connection(Stream stream, std::string address, ConnectionShared &shared)
    : m_stream(std::move(stream))
    , m_address(std::move(address))
    , m_shared(shared)
    , m_limits(shared.limits)
    , m_timer(m_stream.get_executor())
    , m_buffer(shared.limits.maxHead + 4096)
{
}

template<class Stream> Connection<Stream>::~Connection()
{
    m_shared.released(this, m_address);
}

template<class Stream> asio::ip::tcp::socket &Connection<Stream>::socket()
{
    if constexpr (std::is_same_v<Stream, TlsStream>)
        return m_stream.next_layer();
    else
        return m_stream;
}

template<class Stream> void Connection<Stream>::start()
{
    auto self = this->shared_from_this();
    asio::dispatch(m_stream.get_executor(), [self] {
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            self->m_phase = Phase::Handshake;
            self->arm(Clock::now() + self->m_limits.headTimeout);
            self->m_stream.async_handshake(asio::ssl::stream_base::server,
                                           [self](error_code error) {
                                               if (error)
                                                   return self->closeNow();
                                               self->waitRequest();
                                           });
        } else {
            self->waitRequest();
        }
    });
}

template<class Stream> void Connection<Stream>::stop()
{
    auto self = this->shared_from_this();
    asio::post(m_stream.get_executor(), [self] {
        self->m_stopping = true;
        // A request under way is answered first; a connection that waits for
        // one goes now.
        switch (self->m_phase) {
        case Phase::Handshake:
        case Phase::Idle:
        case Phase::Head:
        case Phase::Linger:
            self->closeNow();
            break;
        default:
            break;
        }
    });
}

template<class Stream> void Connection<Stream>::arm(Clock::time_point deadline)
{
    m_deadline = deadline;
    m_timer.expires_at(deadline);
    auto self = this->shared_from_this();
    m_timer.async_wait([self](error_code error) {
        if (!error)
            self->onDeadline();
    });
}

template<class Stream> int64_t Connection<Stream>::unsent()
{
    int queued = 0;
    if (::ioctl(socket().native_handle(), TIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return queued;
}

template<class Stream> int64_t Connection<Stream>::unread()
{
    int queued = 0;
    if (::ioctl(socket().native_handle(), FIONREAD, &queued) != 0 || queued < 0)
        return 0;
    return queued;
}

template<class Stream> void Connection<Stream>::wakeAfter(size_t bytes)
{
    // Only a plain socket's bytes are the body's: TLS records may need more
    // than the body has left.
    if constexpr (std::is_same_v<Stream, PlainStream>) {
        if (bytes == m_wakeAfter)
            return;
        const int value = static_cast<int>(bytes);
        if (::setsockopt(socket().native_handle(), SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value)
            == 0)
            m_wakeAfter = bytes;
    }
}

template<class Stream> void Connection<Stream>::startRate()
{
    m_windowBytes = 0;
    m_windowUnsent = unsent();
    m_windowUnread = unread();
    arm(Clock::now() + m_limits.rateWindow);
}

template<class Stream> void Connection<Stream>::onDeadline()
{
    if (m_phase == Phase::Closed || m_phase == Phase::Work || Clock::now() < m_deadline)
        return;
    if (m_phase == Phase::Body && m_storeBehind)
        return startRate();
    if (m_phase == Phase::Body || m_phase == Phase::Write) {
        const auto seconds
            = std::chrono::duration_cast<std::chrono::milliseconds>(m_limits.rateWindow).count()
            / 1000.0;
        // What the client took counts, not what was handed to the kernel: a
        // large send buffer frees room for the next write only in big steps.
        // Bytes that came and wait for the read to wake count too.
        int64_t moved = std::max<int64_t>(
            0, static_cast<int64_t>(m_windowBytes) - (unsent() - m_windowUnsent));
        if (m_phase == Phase::Body)
            moved += unread() - m_windowUnread;
        if (static_cast<double>(moved) >= static_cast<double>(m_limits.minRate) * seconds)
            return startRate();
        m_shared.log.message("closing a connection from " + m_address + ": it moved "
                             + std::to_string(moved) + " bytes in " + std::to_string(seconds)
                             + " s");
    }
    closeNow();
}

template<class Stream> void Connection<Stream>::waitRequest()
{
    m_active = false;
    m_upload.reset();
    m_parser.reset();
    m_reply = Reply();
    m_hash.reset();
    std::vector<char>().swap(m_chunk);
    std::string().swap(m_writing);
    if (m_stopping)
        return closeNow();
    m_phase = Phase::Idle;
    if (m_buffer.size() > 0)
        return readHead();
    arm(Clock::now() + m_limits.idleTimeout);
    auto self = this->shared_from_this();
    m_stream.async_read_some(m_buffer.prepare(1024), [self](error_code error, size_t size) {
        if (error)
            return self->closeNow();
        self->m_buffer.commit(size);
        self->readHead();
    });
}

template<class Stream> void Connection<Stream>::readHead()
{
    // The head's deadline runs from its first byte, not from each byte.
    m_phase = Phase::Head;
    m_started = Clock::now();
    m_in = 0;
    m_out = 0;
    m_bodyRead = false;
    m_request = HttpService::Request();
    arm(m_started + m_limits.headTimeout);
    m_parser.emplace();
    m_parser->header_limit(static_cast<std::uint32_t>(m_limits.maxHead));
    m_parser->body_limit(m_limits.maxBody);
    auto self = this->shared_from_this();
    http::async_read_header(m_stream, m_buffer, *m_parser,
                            [self](error_code error, size_t) { self->onHead(error); });
}

template<class Stream> void Connection<Stream>::onHead(error_code error)
{
    if (m_phase == Phase::Closed)
        return;
    if (error == http::error::header_limit || error == http::error::buffer_overflow) {
        m_active = true;
        return send(HttpService::error(
            431, "the request head is larger than " + std::to_string(m_limits.maxHead) + " bytes"));
    }
    if (error == http::error::body_limit) {
        m_active = true;
        return send(HttpService::error(
            413, "the request body is larger than " + std::to_string(m_limits.maxBody) + " bytes"));
    }
    if (error && error.category() == http::make_error_code(http::error::bad_method).category()
        && error != http::error::end_of_stream && error != http::error::partial_message) {
        m_active = true;
        return send(HttpService::error(400, "malformed request: " + error.message()));
    }
    if (error)
        return closeNow();
    dispatch();
}

template<class Stream> void Connection<Stream>::dispatch()
{
    const auto &request = m_parser->get();
    m_active = true;
    m_request.method = std::string(request.method_string());
    m_request.target = std::string(request.target());
    m_request.address = m_address;
    if (m_limits.trustedProxies.count(m_address) != 0) {
        const auto forwarded = request.find("X-Real-IP");
        if (forwarded != request.end() && !forwarded->value().empty())
            m_request.address = std::string(forwarded->value());
    }
    m_request.range = std::string(request[http::field::range]);
    for (const auto &field : request) {
        if (beast::iequals(field.name_string(), "Repr-Digest"))
            m_request.reprDigest
                += (m_request.reprDigest.empty() ? "" : ", ") + std::string(field.value());
    }
    m_http10 = request.version() < 11;
    m_keepAlive = request.keep_alive();
    m_chunked = m_parser->chunked();
    m_remaining = m_parser->content_length().value_or(0);
    m_request.length = m_chunked ? std::nullopt : std::optional<uint64_t>(m_remaining);
    m_expectContinue = !m_http10 && beast::iequals(request[http::field::expect], "100-continue");
    m_bodyRead = false;

    // One message boundary only: anything two parsers could read two ways is refused.
    const size_t lengths = request.count(http::field::content_length);
    const bool coded = request.count(http::field::transfer_encoding) > 0;
    if (request.version() != 10 && request.version() != 11)
        return send(HttpService::error(505, "only HTTP/1.0 and HTTP/1.1 are served"));
    if (lengths > 1 || (lengths == 1 && !digitsOnly(request[http::field::content_length])))
        return send(HttpService::error(400, "one Content-Length of digits only"));
    if (coded
        && (lengths > 0 || !m_chunked || request.count(http::field::transfer_encoding) > 1
            || !beast::iequals(request[http::field::transfer_encoding], "chunked")))
        return send(HttpService::error(400, "the only transfer coding served is chunked"));
    // HTTP/1.0 knows no chunked coding: a peer before us may have framed it otherwise.
    if (coded && m_http10)
        return send(HttpService::error(400, "HTTP/1.0 has no chunked transfer coding"));

    m_route = HttpService::route(m_request.method, m_request.target);
    const bool hasBody = m_chunked || m_remaining > 0;
    if (m_route == HttpService::Route::Unknown || m_route == HttpService::Route::WrongMethod) {
        m_bodyRead = !hasBody;
        return send(m_shared.service.answer(m_request, m_route));
    }
    if (!m_chunked && lengths == 0 && m_route != HttpService::Route::Health)
        return send(HttpService::error(411, "the request has no Content-Length"));
    if (!m_chunked && m_remaining > m_limits.maxBody)
        return send(HttpService::error(
            413, "the request body is larger than " + std::to_string(m_limits.maxBody) + " bytes"));
    if (m_route != HttpService::Route::Upload)
        return startBody();

    auto self = this->shared_from_this();
    offload<std::optional<Reply>>(
        [self]() -> std::optional<Reply> {
            Reply refusal;
            self->m_upload = self->m_shared.service.beginUpload(self->m_request, refusal);
            if (self->m_upload)
                return std::nullopt;
            return refusal;
        },
        [self, hasBody](std::optional<Reply> refusal) {
            if (!refusal)
                return self->startBody();
            self->m_bodyRead = !hasBody;
            self->send(std::move(*refusal));
        });
}

template<class Stream> void Connection<Stream>::startBody()
{
    if (!m_chunked && m_remaining == 0)
        return bodyDone();
    if (m_expectContinue) {
        m_expectContinue = false;
        auto self = this->shared_from_this();
        m_phase = Phase::Write;
        startRate();
        return writeThen("HTTP/1.1 100 Continue\r\n\r\n", [self] { self->startBody(); });
    }
    m_phase = Phase::Body;
    startRate();
    m_chunk.resize(m_upload && !m_chunked ? UploadChunkSize : ChunkSize);
    if (m_chunked)
        return readChunked();
    const size_t early = static_cast<size_t>(std::min<uint64_t>(m_buffer.size(), m_remaining));
    if (early > 0) {
        const bool taken = deliver(static_cast<const char *>(m_buffer.data().data()), early);
        m_buffer.consume(early);
        m_remaining -= early;
        if (!taken)
            return;
    }
    readLength();
}

template<class Stream> void Connection<Stream>::readLength()
{
    if (m_remaining == 0)
        return bodyDone();
    std::pair<char *, size_t> room { nullptr, 0 };
    if (m_upload) {
        if (!uploadReady())
            return;
        room = m_upload->body->room();
    }
    const bool inPlace = room.second > 0;
    if (!inPlace)
        room = { m_chunk.data(), m_chunk.size() };
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(room.second, m_remaining));
    // Never more than the body has left, which the client sends whole.
    if (inPlace && m_remaining > UploadWakeBytes)
        wakeAfter(UploadWakeBytes);
    else
        wakeAfter(1);
    auto self = this->shared_from_this();
    m_stream.async_read_some(
        asio::buffer(room.first, wanted), [self, inPlace](error_code error, size_t size) {
            if (self->m_phase == Phase::Closed)
                return;
            if (error)
                return self->bodyBroke();
            self->m_remaining -= size;
            if (inPlace ? self->deliverInPlace(size) : self->deliver(self->m_chunk.data(), size))
                self->readLength();
        });
}

template<class Stream> bool Connection<Stream>::uploadReady()
{
    // Nothing is read while the store is behind: the client waits instead,
    // and the wait is not counted against the client's rate.
    std::weak_ptr<Connection> weak = this->shared_from_this();
    m_storeBehind = !m_upload->body->whenReady([weak] {
        if (auto self = weak.lock())
            asio::post(self->m_stream.get_executor(), [self] {
                self->m_storeBehind = false;
                if (self->m_phase != Phase::Body || !self->m_upload)
                    return;
                self->startRate();
                if (self->m_chunked)
                    self->readChunked();
                else
                    self->readLength();
            });
    });
    return !m_storeBehind;
}

template<class Stream> void Connection<Stream>::readChunked()
{
    if (m_upload && !uploadReady())
        return;
    m_parser->get().body().data = m_chunk.data();
    m_parser->get().body().size = m_chunk.size();
    m_parser->get().body().more = true;
    auto self = this->shared_from_this();
    http::async_read_some(m_stream, m_buffer, *m_parser, [self](error_code error, size_t) {
        if (self->m_phase == Phase::Closed)
            return;
        if (error == http::error::need_buffer)
            error = {};
        if (error == http::error::body_limit)
            return self->send(HttpService::error(413,
                                                 "the request body is larger than "
                                                     + std::to_string(self->m_limits.maxBody)
                                                     + " bytes"));
        // A damaged chunk size is answered before the close, so the client learns why.
        if (error && error.category() == http::make_error_code(http::error::bad_chunk).category()
            && error != http::error::end_of_stream && error != http::error::partial_message)
            return self->send(
                HttpService::error(400, "malformed chunked body: " + error.message()));
        if (error)
            return self->bodyBroke();
        const size_t got = self->m_chunk.size() - self->m_parser->get().body().size;
        if (!self->deliver(self->m_chunk.data(), got))
            return;
        if (self->m_parser->is_done())
            return self->bodyDone();
        self->readChunked();
    });
}

template<class Stream> bool Connection<Stream>::deliver(const char *data, size_t size)
{
    m_in += size;
    m_windowBytes += size;
    if (!m_upload || m_upload->body->consume(data, size))
        return true;
    send(m_shared.service.refusedUpload(*m_upload));
    return false;
}

template<class Stream> bool Connection<Stream>::deliverInPlace(size_t size)
{
    m_in += size;
    m_windowBytes += size;
    if (m_upload->body->took(size))
        return true;
    send(m_shared.service.refusedUpload(*m_upload));
    return false;
}

template<class Stream> void Connection<Stream>::bodyBroke()
{
    logRequest(400);
    closeNow();
}

template<class Stream> void Connection<Stream>::bodyDone()
{
    m_bodyRead = true;
    wakeAfter(1);
    if (m_route == HttpService::Route::Download)
        watchWhileAnswered();
    auto self = this->shared_from_this();
    offload<Reply>(
        [self] {
            if (self->m_upload)
                return self->m_shared.service.finishUpload(*self->m_upload);
            return self->m_shared.service.answer(self->m_request, self->m_route);
        },
        [self](Reply reply) { self->send(std::move(reply)); });
}

template<class Stream> void Connection<Stream>::send(Reply reply)
{
    // What follows (a drain, the next request) reads whatever comes.
    wakeAfter(1);
    m_reply = std::move(reply);
    // Whatever the answer, the upload is over: an unfinished file goes before
    // the client hears of it.
    m_upload.reset();
    // A body left unread would be taken for the next request: close instead.
    m_closeAfter = m_reply.close || !m_bodyRead || !m_keepAlive || m_stopping;
    const bool streamed = static_cast<bool>(m_reply.next);
    if (streamed && m_http10)
        m_closeAfter = true;

    std::string head = statusLine(m_reply.status);
    head += "Content-Type: " + m_reply.contentType + "\r\n";
    for (const auto &[name, value] : m_reply.headers)
        head += name + ": " + value + "\r\n";
    if (streamed) {
        if (!m_http10)
            head += "Transfer-Encoding: chunked\r\n";
    } else {
        uint64_t length = m_reply.body.size();
        if (m_reply.file)
            length = m_reply.file->size == 0 ? 0 : m_reply.file->last - m_reply.file->first + 1;
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    }
    if (m_closeAfter)
        head += "Connection: close\r\n";
    head += "\r\n";

    m_phase = Phase::Write;
    startRate();
    auto self = this->shared_from_this();
    if (streamed)
        return writeThen(std::move(head), [self] { self->pumpList(); });
    if (m_reply.file)
        return writeThen(std::move(head), [self] { self->startFile(); });
    m_out += m_reply.body.size();
    writeThen(std::move(head) + m_reply.body, [self] { self->finishReply(); });
}

template<class Stream> void Connection<Stream>::pumpList()
{
    struct Piece
    {
        bool ok = false;
        bool done = false;
        std::string bytes;
    };
    auto self = this->shared_from_this();
    offload<Piece>(
        [self] {
            Piece piece;
            piece.ok = self->m_reply.next(piece.bytes, piece.done);
            return piece;
        },
        [self](Piece piece) {
            if (!piece.ok) {
                self->logRequest(500);
                return self->closeNow();
            }
            self->m_out += piece.bytes.size();
            // Framed in place, in the room the piece keeps for it.
            std::string framed = std::move(piece.bytes);
            if (!self->m_http10) {
                if (!framed.empty()) {
                    char size[32];
                    std::snprintf(size, sizeof size, "%zx\r\n", framed.size());
                    framed.insert(0, size);
                    framed += "\r\n";
                }
                if (piece.done)
                    framed += "0\r\n\r\n";
            }
            self->m_phase = Phase::Write;
            self->startRate();
            const bool done = piece.done;
            self->writeThen(std::move(framed), [self, done] {
                if (done)
                    self->finishReply();
                else
                    self->pumpList();
            });
        });
}

template<class Stream> void Connection<Stream>::startFile()
{
    FileSource &file = *m_reply.file;
    m_filePosition = file.first;
    if (file.size == 0)
        return finishReply();
    if (file.stream) {
        // Sent from the stream's own blocks: no buffer of the connection's.
        m_filePosition = file.from;
        if (file.blockSums.empty() && !file.digest.empty())
            m_hash = std::make_unique<Sha256>();
        if (!file.blockSums.empty()) {
            if (!m_blockSums)
                m_blockSums = std::make_unique<BlockSums>();
            m_blockSums->startAt(file.from / BlockSums::BlockSize);
        }
        m_blocks = std::move(file.stream);
        const int ready = ::dup(m_blocks->readyFd());
        if (ready < 0)
            return cutDownload("could not be read: " + std::string(std::strerror(errno)));
        m_blocksReady.emplace(m_stream.get_executor(), ready);
        return readBlock();
    }
    m_chunk.resize(ChunkSize);
    if (!file.blockSums.empty()) {
        m_checkedTo = file.first;
        // sendfile must not block the thread when the socket is full.
        error_code ignored;
        socket().native_non_blocking(true, ignored);
        return sendChecked();
    }
    if (!file.digest.empty())
        m_hash = std::make_unique<Sha256>();
    if (file.digest.empty())
        return sendFileChunk();
    if (file.first == 0)
        return sendFileChunk();
    // The bytes before the range count towards the hash all the same.
    auto self = this->shared_from_this();
    offload<bool>(
        [self] {
            FileSource &source = *self->m_reply.file;
            return hashRange(source.fd, 0, source.first, *self->m_hash, self->m_chunk);
        },
        [self](bool ok) {
            if (!ok) {
                self->m_shared.log.message("error: cannot read a stored file");
                self->logRequest(self->m_reply.status);
                return self->closeNow();
            }
            self->m_phase = Phase::Write;
            self->startRate();
            self->sendFileChunk();
        });
}

template<class Stream> void Connection<Stream>::sendChecked()
{
    // Each block the answer touches is checked whole, from the page cache,
    // before any of its bytes leave: a damaged block ends the answer short.
    FileSource &file = *m_reply.file;
    const uint64_t end = file.last + 1;
    if (m_filePosition >= end)
        return finishReply();
    if (m_filePosition == m_checkedTo) {
        const uint64_t block = m_filePosition / BlockSums::BlockSize;
        if (!BlockSums::check(file.fd, file.size, block, file.blockSums, m_chunk)) {
            return cutDownload("no longer matches its hash in block " + std::to_string(block)
                               + "; the download was cut before it");
        }
        m_checkedTo = std::min(end, (block + 1) * BlockSums::BlockSize);
    }
    sendFromFile(m_checkedTo);
}

template<class Stream> void Connection<Stream>::sendFromFile(uint64_t to)
{
    FileSource &file = *m_reply.file;
    auto self = this->shared_from_this();
    if constexpr (std::is_same_v<Stream, TlsStream>) {
        // Encrypted bytes pass through user space: read again, as sendfile would.
        const size_t wanted
            = static_cast<size_t>(std::min<uint64_t>(m_chunk.size(), to - m_filePosition));
        const ssize_t got
            = ::pread(file.fd, m_chunk.data(), wanted, static_cast<off_t>(m_filePosition));
        if (got <= 0) {
            logRequest(m_reply.status);
            return closeNow();
        }
        m_filePosition += static_cast<uint64_t>(got);
        m_out += static_cast<uint64_t>(got);
        writeChunk(m_chunk.data(), static_cast<size_t>(got), [self] { self->sendChecked(); });
    } else {
        const int out = socket().native_handle();
        while (m_filePosition < to) {
            off_t offset = static_cast<off_t>(m_filePosition);
            const ssize_t sent
                = ::sendfile(out, file.fd, &offset, static_cast<size_t>(to - m_filePosition));
            if (sent > 0) {
                m_filePosition += static_cast<uint64_t>(sent);
                m_out += static_cast<uint64_t>(sent);
                m_windowBytes += static_cast<uint64_t>(sent);
                continue;
            }
            if (sent < 0 && errno == EINTR)
                continue;
            if (sent < 0 && errno == EAGAIN) {
                socket().async_wait(asio::socket_base::wait_write, [self, to](error_code error) {
                    if (self->m_phase == Phase::Closed)
                        return;
                    if (error) {
                        self->logRequest(self->m_reply.status);
                        return self->closeNow();
                    }
                    self->sendFromFile(to);
                });
                return;
            }
            // The file shrank under us, or the client went away.
            logRequest(m_reply.status);
            return closeNow();
        }
        // Through the queue, not at once: the other connections of this
        // thread get their turn between blocks.
        asio::post(m_stream.get_executor(), [self] {
            if (self->m_phase != Phase::Closed)
                self->sendChecked();
        });
    }
}

template<class Stream> void Connection<Stream>::cutDownload(const std::string &why)
{
    m_shared.log.message("error: the stored file of event "
                         + QueryString::forLog(m_reply.file->eventId, {}) + " " + why);
    logRequest(m_reply.status);
    closeNow();
}

template<class Stream> void Connection<Stream>::readBlock()
{
    // Waiting for the store is not the client's slowness.
    m_phase = Phase::Work;
    const char *data = nullptr;
    size_t size = 0;
    switch (m_blocks->next(data, size)) {
    case BlockStream::Next::Piece:
        if (m_reply.file->blockSums.empty())
            return onStream(data, size);
        return onPiece(data, size);
    case BlockStream::Next::Later: {
        watchClient();
        auto self = this->shared_from_this();
        m_blocksReady->async_wait(
            asio::posix::stream_descriptor::wait_read, [self](error_code error) {
                if (self->m_phase == Phase::Closed || !self->m_blocks)
                    return;
                if (error)
                    return self->cutDownload("could not be read to its end; the download was cut");
                self->readBlock();
            });
        return;
    }
    case BlockStream::Next::End:
    case BlockStream::Next::Broken:
        break;
    }
    cutDownload("could not be read to its end; the download was cut");
}

// The stream's last bytes, held until their check passed, end the reply.
template<class Stream> void Connection<Stream>::sendHeldAndFinish()
{
    dropBlocks();
    m_phase = Phase::Write;
    startRate();
    m_out += m_held.size();
    auto self = this->shared_from_this();
    writeChunk(m_held.data(), m_held.size(), [self] {
        std::string().swap(self->m_held);
        self->finishReply();
    });
}

template<class Stream> bool Connection<Stream>::hungUp()
{
    // Bytes of a next request say nothing and stay where they are; an end or
    // a reset says the client went.
    char byte;
    const ssize_t got = ::recv(socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

template<class Stream> void Connection<Stream>::watchClient()
{
    // Nothing is written while the store is slow to send, so a client that
    // went would go unnoticed, holding the transfer and its share of the
    // buffers until the store's timeout.
    if (m_watchingClient)
        return;
    m_watchingClient = true;
    auto self = this->shared_from_this();
    socket().async_wait(asio::ip::tcp::socket::wait_read, [self](error_code error) {
        self->m_watchingClient = false;
        if (error || self->m_phase == Phase::Closed || !self->m_blocks)
            return;
        if (self->hungUp()) {
            self->logRequest(self->m_reply.status);
            self->closeNow();
        }
    });
}

template<class Stream> void Connection<Stream>::watchWhileAnswered()
{
    // A download may wait in line for the store's buffers while nothing is
    // read from its client: one that went meanwhile leaves the line at once
    // instead of holding its place until the line's patience ran out.
    auto gone = std::make_shared<std::atomic<bool>>(false);
    m_request.gone = [gone] { return gone->load(std::memory_order_relaxed); };
    std::weak_ptr<Connection> weak = this->shared_from_this();
    socket().async_wait(asio::ip::tcp::socket::wait_read, [weak, gone](error_code error) {
        auto self = weak.lock();
        if (error || !self || self->m_phase == Phase::Closed)
            return;
        if (self->hungUp())
            gone->store(true, std::memory_order_relaxed);
    });
}

template<class Stream> void Connection<Stream>::dropBlocks()
{
    // A transfer that still has bytes for the stream stops.
    if (m_blocks)
        m_blocks->close();
    m_blocks.reset();
    m_blocksReady.reset();
}

template<class Stream> void Connection<Stream>::onPiece(const char *data, size_t size)
{
    // Pieces are summed as they come and sent at once, but the piece that ends
    // a block only once the block matched, and the range's last byte only once
    // its block did: a damaged file never arrives whole.
    FileSource &file = *m_reply.file;
    const uint64_t at = m_filePosition;
    const uint64_t block = at / BlockSums::BlockSize;
    const uint64_t blockEnd = std::min(file.size, (block + 1) * BlockSums::BlockSize);
    if (size > blockEnd - at)
        return cutDownload("could not be read to its end; the download was cut");
    m_blockSums->add(data, size);
    m_filePosition = at + size;
    const bool checked = m_filePosition == blockEnd;
    if (checked && !m_blockSums->matchesSoFar(file.blockSums)) {
        return cutDownload("no longer matches its hash in block " + std::to_string(block)
                           + "; the download was cut before its end");
    }
    const uint64_t from = std::max(at, file.first);
    const uint64_t to = std::min(m_filePosition, file.last + 1);
    auto self = this->shared_from_this();
    if (to <= from) {
        if (at <= file.last || !checked) {
            m_blocks->release();
            return readBlock();
        }
        // The rest of the range's last block matched: its held bytes go.
        return sendHeldAndFinish();
    }
    const bool last = to == file.last + 1;
    if (last && !checked) {
        m_held.assign(data + (from - at), static_cast<size_t>(to - from));
        m_blocks->release();
        return readBlock();
    }
    m_phase = Phase::Write;
    startRate();
    m_out += to - from;
    writeChunk(data + (from - at), static_cast<size_t>(to - from), [self, last] {
        self->m_blocks->release();
        if (!last)
            return self->readBlock();
        self->dropBlocks();
        self->finishReply();
    });
}

template<class Stream> void Connection<Stream>::sendFileChunk()
{
    FileSource &file = *m_reply.file;
    const uint64_t end = file.last + 1;
    if (m_filePosition >= end)
        return finishReply();
    const size_t wanted
        = static_cast<size_t>(std::min<uint64_t>(m_chunk.size(), end - m_filePosition));
    const ssize_t got
        = ::pread(file.fd, m_chunk.data(), wanted, static_cast<off_t>(m_filePosition));
    if (got <= 0) {
        return cutDownload("is shorter than it was; the download was cut");
    }
    const size_t size = static_cast<size_t>(got);
    m_filePosition += size;
    auto self = this->shared_from_this();
    if (!m_hash) {
        m_out += size;
        return writeChunk(m_chunk.data(), size, [self] { self->sendFileChunk(); });
    }
    if (m_filePosition == end) {
        m_hash->add(m_chunk.data(), size);
        return verifyAndSendLast(size);
    }
    m_hash->add(m_chunk.data(), size);
    m_out += size;
    writeChunk(m_chunk.data(), size, [self] { self->sendFileChunk(); });
}

template<class Stream> void Connection<Stream>::onStream(const char *block, size_t size)
{
    // Bytes before the range are read and hashed, not sent; with a hash, so
    // are those after it.
    FileSource &file = *m_reply.file;
    const uint64_t at = m_filePosition;
    m_filePosition += size;
    if (m_hash)
        m_hash->add(block, size);
    const uint64_t from = std::max(at, file.first);
    const uint64_t to = std::min(m_filePosition, file.last + 1);
    const char *data = block + (from - at);
    const size_t length = to > from ? static_cast<size_t>(to - from) : 0;
    auto self = this->shared_from_this();
    if (m_hash) {
        if (length > 0 && to == file.last + 1)
            m_held.assign(data, length);
        if (m_filePosition < file.size) {
            if (length == 0 || to == file.last + 1) {
                m_blocks->release();
                return readBlock();
            }
        } else {
            // The last piece waits for the hash, as from a folder.
            dropBlocks();
            if (m_hash->finish() != file.digest) {
                return cutDownload("no longer matches its hash; the download was cut before "
                                   "its end");
            }
            return sendHeldAndFinish();
        }
    } else if (length == 0) {
        m_blocks->release();
        return readBlock();
    }
    m_phase = Phase::Write;
    startRate();
    m_out += length;
    const bool last = !m_hash && to == file.last + 1;
    writeChunk(data, length, [self, last] {
        self->m_blocks->release();
        if (!last)
            return self->readBlock();
        self->dropBlocks();
        self->finishReply();
    });
}

template<class Stream> void Connection<Stream>::verifyAndSendLast(size_t size)
{
    // The last piece waits until every byte of the file has been hashed, so a
    // damaged file never arrives whole.
    auto self = this->shared_from_this();
    offload<bool>(
        [self] {
            FileSource &file = *self->m_reply.file;
            std::vector<char> buffer(ChunkSize);
            if (!hashRange(file.fd, file.last + 1, file.size, *self->m_hash, buffer))
                return false;
            return self->m_hash->finish() == file.digest;
        },
        [self, size](bool sound) {
            if (!sound) {
                return self->cutDownload(
                    "no longer matches its hash; the download was cut before its end");
            }
            self->m_phase = Phase::Write;
            self->startRate();
            self->m_out += size;
            self->writeChunk(self->m_chunk.data(), size, [self] { self->finishReply(); });
        });
}

template<class Stream>
void Connection<Stream>::writeThen(std::string bytes, std::function<void()> then)
{
    m_writing = std::move(bytes);
    writeChunk(m_writing.data(), m_writing.size(), std::move(then));
}

template<class Stream>
void Connection<Stream>::writeChunk(const char *data, size_t size, std::function<void()> then)
{
    // Bytes count towards the rate as they leave, not when the whole piece
    // has: a slow reader that keeps up with the minimum is not taken for a
    // stalled one.
    auto self = this->shared_from_this();
    m_stream.async_write_some(
        asio::buffer(data, size),
        [self, data, size, then = std::move(then)](error_code error, size_t written) mutable {
            if (self->m_phase == Phase::Closed)
                return;
            self->m_windowBytes += written;
            if (error) {
                self->logRequest(self->m_reply.status);
                return self->closeNow();
            }
            if (written >= size)
                return then();
            self->writeChunk(data + written, size - written, std::move(then));
        });
}

template<class Stream> void Connection<Stream>::finishReply()
{
    logRequest(m_reply.status);
    if (m_closeAfter)
        return lingerClose();
    waitRequest();
}

template<class Stream> void Connection<Stream>::lingerClose()
{
    m_reply = Reply();
    m_upload.reset();
    m_phase = Phase::Linger;
    arm(Clock::now() + m_limits.lingerTimeout);
    error_code ignored;
    socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
    m_chunk.resize(DrainSize);
    drain();
}

template<class Stream> void Connection<Stream>::drain()
{
    auto self = this->shared_from_this();
    m_stream.async_read_some(asio::buffer(m_chunk), [self](error_code error, size_t) {
        if (error || self->m_phase == Phase::Closed)
            return self->closeNow();
        self->drain();
    });
}

template<class Stream> void Connection<Stream>::closeNow()
{
    if (m_phase == Phase::Closed)
        return;
    m_phase = Phase::Closed;
    m_timer.cancel();
    error_code ignored;
    socket().close(ignored);
    m_upload.reset();
    dropBlocks();
}

template<class Stream> void Connection<Stream>::logRequest(int status)
{
    if (!m_active)
        return;
    m_active = false;
    const auto milliseconds
        = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_started).count();
    m_shared.log.request(QueryString::forLog(m_request.method, {}),
                         QueryString::forLog(m_request.target, { "username", "password" }), status,
                         m_in, m_out, milliseconds);
}

template<class Stream>
template<class Result>
void Connection<Stream>::offload(std::function<Result()> work, std::function<void(Result)> then)
{
    m_phase = Phase::Work;
    m_timer.cancel();
    auto self = this->shared_from_this();
    // The guard keeps the network threads alive until the answer is back.
    auto guard = asio::make_work_guard(m_stream.get_executor());
    asio::post(m_shared.work, [self, guard, work = std::move(work), then = std::move(then)] {
        std::optional<Result> result;
        std::optional<Reply> unavailable;
        std::string failure;
        try {
            result.emplace(work());
        } catch (const DatabaseError &error) {
            // A database out of reach (at the login too) is passing: the client tries again.
            if (error.unavailable())
                unavailable = self->m_shared.service.unavailable(error);
            failure = error.what();
        } catch (const std::exception &error) {
            failure = error.what();
        } catch (...) {
            failure = "unknown failure";
        }
        asio::post(self->m_stream.get_executor(),
                   [self, then, result = std::move(result), unavailable = std::move(unavailable),
                    failure]() mutable {
                       if (self->m_phase == Phase::Closed)
                           return;
                       if (result)
                           return then(std::move(*result));
                       if (!unavailable)
                           self->m_shared.log.message("error: " + failure);
                       Reply reply = unavailable
                           ? std::move(*unavailable)
                           : HttpService::error(500, "the server failed; see its log");
                       reply.close = true;
                       self->send(std::move(reply));
                   });
    });
}

template class Connection<PlainStream>;
template class Connection<TlsStream>;

} // namespace QuorvaneServer
