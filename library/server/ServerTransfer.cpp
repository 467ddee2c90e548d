#include "ServerTransfer.h"

#include "WritePieces.h"

#include <QDir>
#include <limits>
#include <sys/statvfs.h>

namespace Quorvane {

namespace {

// Large blocks: fewer callbacks, fewer writes.
constexpr long ReceiveBufferSize = 512 * 1024;
// A file's bytes in larger ones still: fewer wake-ups of the hash's thread,
// and the receiving thread spent 0.1-0.15 s less per GiB than with 512 KiB.
// Only the pages a read fills are touched; libcurl before 7.88 refuses more
// than 512 KiB. Small answers keep the small buffer, curl's to allocate anew
// for every request.
constexpr long FileReceiveBufferSize = 8 * 1024 * 1024;
// 2 MiB, curl's largest, changed nothing measurable.
constexpr long SendBufferSize = 512 * 1024;
constexpr const char *SystemCaFolder = "/etc/ssl/certs";

long blockFor(qint64 bytesPerSecond, long unlimited)
{
    if (bytesPerSecond <= 0)
        return unlimited;
    return long(qBound<qint64>(16 * 1024, bytesPerSecond / 8, qint64(unlimited)));
}

bool acceptedCode(long code)
{
    switch (code) {
    case 200:
    case 301:
    case 302:
    case 303:
    case 307:
        return true;
    default:
        return false;
    }
}

// The "sha-256=:<base64>:" members of a Repr-Digest field, decoded; one
// that does not decode to 32 bytes is "invalid", which matches no digest.
QList<QByteArray> sha256Members(const QByteArray &value)
{
    QList<QByteArray> digests;
    for (const QByteArray &member : value.split(',')) {
        const QByteArray item = member.trimmed();
        const int equals = item.indexOf('=');
        if (equals < 0 || item.left(equals).trimmed().toLower() != "sha-256")
            continue;
        QByteArray encoded = item.mid(equals + 1).trimmed();
        if (encoded.size() < 2 || !encoded.startsWith(':') || !encoded.endsWith(':')) {
            digests.append("invalid");
            continue;
        }
        const auto decoded = QByteArray::fromBase64Encoding(
            encoded.mid(1, encoded.size() - 2), QByteArray::AbortOnBase64DecodingErrors);
        digests.append(decoded && (*decoded).size() == 32 ? *decoded : QByteArray("invalid"));
    }
    return digests;
}

// A decimal number of digits only, that fits; -1 otherwise.
qint64 decimal(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 18)
        return -1;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

bool ServerTransfer::Sink::take(const char *data, qint64 size)
{
    // Written from curl's buffer while it is in the processor's cache; the
    // hash reads the bytes back behind the writing.
    const bool hashed = hashing();
    written += size;
    if (!writePieces(data, size,
                     [&](const char *piece, qint64 length) { return file->write(piece, length); }))
        return false;
    if (hashed)
        hash.written(file->handle(), data, size_t(size));
    return true;
}

bool ServerTransfer::Sink::restart()
{
    hash.reset();
    written = 0;
    return file->resize(0) && file->seek(0);
}

ServerTransfer::ServerTransfer(CurlMulti &multi, const Options &options,
                               std::unique_ptr<UploadBody> body, Sink *sink)
    : m_multi(multi)
    , m_options(options)
    , m_body(std::move(body))
    , m_sink(sink)
{
    m_resumeTimer.setSingleShot(true);
    QObject::connect(&m_resumeTimer, &QTimer::timeout, [this] {
        if (m_easy)
            m_multi.resume(m_easy);
    });
}

ServerTransfer::~ServerTransfer()
{
    if (m_easy) {
        m_multi.detach(m_easy);
        curl_easy_cleanup(m_easy);
    }
    curl_slist_free_all(m_headers);
}

bool ServerTransfer::start()
{
    m_easy = curl_easy_init();
    if (!m_easy)
        return false;
    CURL *e = m_easy;
    curl_easy_setopt(e, CURLOPT_PRIVATE, static_cast<CurlClient *>(this));
    curl_easy_setopt(e, CURLOPT_URL, m_options.url.constData());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, m_error);
    // A limit is kept over the whole transfer only when curl moves it in
    // pieces small next to a second's worth.
    if (!m_options.fileAnswer
        || curl_easy_setopt(e, CURLOPT_BUFFERSIZE,
                            blockFor(m_options.downloadBytesPerSecond, FileReceiveBufferSize))
            != CURLE_OK)
        curl_easy_setopt(e, CURLOPT_BUFFERSIZE,
                         blockFor(m_options.downloadBytesPerSecond, ReceiveBufferSize));
    curl_easy_setopt(e, CURLOPT_UPLOAD_BUFFERSIZE,
                     blockFor(m_options.uploadBytesPerSecond, SendBufferSize));
    // A redirection's own body is the answer.
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_TCP_NODELAY, 1L);

    // Verification stays on; a private CA comes beside the system's.
    if (!m_options.caFile.isEmpty()) {
        curl_easy_setopt(e, CURLOPT_CAINFO, m_options.caFile.constData());
        if (QDir(QLatin1String(SystemCaFolder)).exists())
            curl_easy_setopt(e, CURLOPT_CAPATH, SystemCaFolder);
    }

    // A server that never answers, or a transfer that stalls, ends.
    const long timeout = qMax(1, m_options.timeoutSeconds);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, timeout);
    if (m_options.uploadBytesPerSecond > 0)
        curl_easy_setopt(e, CURLOPT_MAX_SEND_SPEED_LARGE,
                         curl_off_t(m_options.uploadBytesPerSecond));
    if (m_options.downloadBytesPerSecond > 0)
        curl_easy_setopt(e, CURLOPT_MAX_RECV_SPEED_LARGE,
                         curl_off_t(m_options.downloadBytesPerSecond));

    if (!m_options.contentType.isEmpty())
        m_headers = curl_slist_append(m_headers, "Content-Type: " + m_options.contentType);
    // The body goes at once: waiting for "100 Continue" only costs time.
    m_headers = curl_slist_append(m_headers, "Expect:");
    if (m_options.resumeFrom >= 0)
        m_headers = curl_slist_append(
            m_headers, "Range: bytes=" + QByteArray::number(m_options.resumeFrom) + "-");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, m_headers);

    if (m_body) {
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(m_body->size()));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &ServerTransfer::readCallback);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &ServerTransfer::seekCallback);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
    }
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &ServerTransfer::writeCallback);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    // A proxy's "200 Connection established" is not the server's answer.
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &ServerTransfer::headerCallback);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &ServerTransfer::progressCallback);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    m_clock.start();
    return m_multi.add(e);
}

void ServerTransfer::release()
{
    m_released = true;
    m_sink = nullptr;
    onProgress = nullptr;
    onDone = nullptr;
}

QByteArray ServerTransfer::sentFileDigest()
{
    return m_sentHashValid ? m_sentHash.digest() : QByteArray();
}

qint64 ServerTransfer::bodySize() const
{
    return m_body ? m_body->size() : 0;
}

QString ServerTransfer::errorText() const
{
    return QString::fromLocal8Bit(m_error);
}

void ServerTransfer::transferDone(CURLcode code)
{
    if (m_released || !onDone)
        return;
    // The last report of the upload may not have come before the end.
    if (code == CURLE_OK && m_body && onProgress && m_lastUp != m_body->size())
        onProgress(m_body->size(), m_body->size());
    if (m_stalled && code == CURLE_ABORTED_BY_CALLBACK) {
        code = CURLE_OPERATION_TIMEDOUT;
        qsnprintf(m_error, sizeof m_error, "nothing moved for %d seconds",
                  qMax(1, m_options.timeoutSeconds));
    }
    const auto done = std::move(onDone);
    onDone = nullptr;
    done(code);
}

size_t ServerTransfer::writeCallback(char *data, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<ServerTransfer *>(self);
    Sink *sink = transfer->m_sink;
    const size_t bytes = size * count;
    if (transfer->m_released || transfer->m_rejected || !sink || !sink->file)
        return 0; // stops the transfer
    if (transfer->aheadOfLimit(transfer->m_options.downloadBytesPerSecond,
                               transfer->m_receivedBytes, qint64(bytes)))
        return CURL_WRITEFUNC_PAUSE; // curl hands the same bytes again later
    transfer->m_receivedBytes += qint64(bytes);
    transfer->m_lastActivity = transfer->m_clock.elapsed();
    if (!transfer->withinBounds(qint64(bytes))) {
        sink->writeFailed = true;
        return 0;
    }
    if (!sink->take(data, qint64(bytes))) {
        sink->writeFailed = true; // a full disk must not pass for a complete answer
        return 0;
    }
    return bytes;
}

size_t ServerTransfer::readCallback(char *data, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<ServerTransfer *>(self);
    if (transfer->m_released)
        return CURL_READFUNC_ABORT;
    if (transfer->aheadOfLimit(transfer->m_options.uploadBytesPerSecond, transfer->m_sentBytes,
                               qint64(size * count)))
        return CURL_READFUNC_PAUSE;
    const qint64 got = transfer->m_body->read(data, qint64(size * count));
    if (got < 0)
        return CURL_READFUNC_ABORT; // the file failed or shrank: the promised length is a lie
    // Only the file's bytes count: that is what the server stores and hashes.
    const qint64 head = transfer->m_body->headSize();
    const qint64 from = qMax(transfer->m_bodyCursor, head);
    const qint64 to = transfer->m_bodyCursor + got;
    // Hashed here, while the bytes just read are in this core's cache: read
    // back behind the sending on a thread of its own, as downloads are, they
    // cost 0.2-0.3 s more per GiB in all, and the server's threads need both
    // cores.
    if (to > from)
        transfer->m_sentHash.add(data + (from - transfer->m_bodyCursor), size_t(to - from));
    transfer->m_bodyCursor = to;
    transfer->m_sentBytes += got;
    transfer->m_lastActivity = transfer->m_clock.elapsed();
    return size_t(got);
}

int ServerTransfer::seekCallback(void *self, curl_off_t offset, int origin)
{
    auto *transfer = static_cast<ServerTransfer *>(self);
    if (origin != SEEK_SET || !transfer->m_body->seek(qint64(offset)))
        return CURL_SEEKFUNC_CANTSEEK;
    // curl sends the body again from the start on a fresh connection.
    if (offset == 0)
        transfer->m_sentHash.reset();
    else
        transfer->m_sentHashValid = false;
    transfer->m_bodyCursor = qint64(offset);
    return CURL_SEEKFUNC_OK;
}

bool ServerTransfer::withinBounds(qint64 bytes)
{
    if (m_options.maxAnswerBytes >= 0 && m_sink->written + bytes > m_options.maxAnswerBytes) {
        m_sink->boundReached = QStringLiteral("The server's answer is larger than %1 bytes.")
                                   .arg(m_options.maxAnswerBytes);
        return false;
    }
    if (m_options.minFreeBytes >= 0) {
        // The disk is asked again every few MiB, not for every block: a
        // statfs per block would cost a system call on the download's hot path.
        constexpr qint64 FreeCheckInterval = 8 << 20;
        if (m_spareRoom < bytes || m_writtenSinceFreeCheck >= FreeCheckInterval) {
            struct statvfs disk;
            // A disk that cannot say how full it is is not held to the bound.
            m_spareRoom = fstatvfs(m_sink->file->handle(), &disk) == 0
                ? qint64(disk.f_bavail) * qint64(disk.f_frsize) - m_options.minFreeBytes
                : std::numeric_limits<qint64>::max() / 2;
            m_writtenSinceFreeCheck = 0;
        }
        if (m_spareRoom < bytes) {
            m_sink->boundReached
                = QStringLiteral("The download would leave less than %1 bytes free on the disk.")
                      .arg(m_options.minFreeBytes);
            return false;
        }
        m_spareRoom -= bytes;
        m_writtenSinceFreeCheck += bytes;
    }
    return true;
}

bool ServerTransfer::aheadOfLimit(qint64 bytesPerSecond, qint64 moved, qint64 more)
{
    if (bytesPerSecond <= 0 || moved == 0)
        return false;
    const qint64 dueMs = (moved + more) * 1000 / bytesPerSecond;
    const qint64 elapsedMs = m_clock.elapsed();
    if (dueMs <= elapsedMs)
        return false;
    m_resumeTimer.start(int(qMin<qint64>(dueMs - elapsedMs, 1000)));
    m_lastActivity = elapsedMs; // held back by us, not stalled
    return true;
}

size_t ServerTransfer::headerCallback(char *data, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<ServerTransfer *>(self);
    const size_t bytes = size * count;
    if (transfer->m_released)
        return 0;
    transfer->m_lastActivity = transfer->m_clock.elapsed();
    const QByteArray line = QByteArray::fromRawData(data, int(bytes));
    if (line == "\r\n" || line == "\n")
        return transfer->acceptAnswer() ? bytes : 0;
    transfer->readHeaderLine(line);
    return bytes;
}

void ServerTransfer::readHeaderLine(const QByteArray &line)
{
    if (line.startsWith("HTTP/")) {
        // A new answer (after an interim one): its own fields only.
        m_serverDigest.clear();
        m_rangesAccepted = false;
        m_contentRangeStart = -1;
        m_contentLength.clear();
        m_lengthsDisagree = false;
        return;
    }
    const int colon = line.indexOf(':');
    if (colon <= 0)
        return;
    const QByteArray name = line.left(colon).trimmed().toLower();
    const QByteArray value = line.mid(colon + 1).trimmed();
    if (name == "repr-digest") {
        m_serverDigest = foldReprDigest(m_serverDigest, value);
    } else if (name == "accept-ranges") {
        m_rangesAccepted = value.toLower().split(',').contains("bytes");
    } else if (name == "content-range") {
        m_contentRangeStart = contentRangeStart(value);
    } else if (name == "content-length") {
        // Repeats of one value are harmless; curl would take the last of two.
        for (const QByteArray &member : value.split(',')) {
            const QByteArray length = member.trimmed();
            if (m_contentLength.isEmpty())
                m_contentLength = length;
            else if (length != m_contentLength)
                m_lengthsDisagree = true;
        }
    }
}

QByteArray ServerTransfer::foldReprDigest(const QByteArray &sofar, const QByteArray &value)
{
    // Every field line adds to one list; members that differ cannot all match.
    QByteArray digest = sofar;
    for (const QByteArray &member : sha256Members(value)) {
        if (digest.isEmpty())
            digest = member;
        else if (member != digest)
            digest = "invalid";
    }
    return digest;
}

qint64 ServerTransfer::contentRangeStart(const QByteArray &value)
{
    const QByteArray trimmed = value.trimmed();
    if (trimmed.size() < 6 || trimmed.left(6).toLower() != "bytes ")
        return -1;
    const QByteArray range = trimmed.mid(6).trimmed();
    const int dash = range.indexOf('-');
    const int slash = range.indexOf('/');
    if (dash < 0 || slash < dash)
        return -1;
    const qint64 first = decimal(range.left(dash));
    const qint64 last = decimal(range.mid(dash + 1, slash - dash - 1));
    const QByteArray lengthText = range.mid(slash + 1);
    const qint64 length
        = lengthText == "*" ? std::numeric_limits<qint64>::max() : decimal(lengthText);
    if (first < 0 || last < first || length <= last)
        return -1;
    return first;
}

bool ServerTransfer::acceptAnswer()
{
    long code = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &code);
    if (code >= 100 && code < 200)
        return true; // interim: the real answer follows
    m_statusCode = code;
    bool accepted = acceptedCode(code) && !m_lengthsDisagree;
    if (m_options.resumeFrom >= 0 && m_sink && m_sink->file) {
        if (code == 206 && m_contentRangeStart == m_options.resumeFrom) {
            accepted = true;
        } else if (code == 200) {
            // The whole file again: start over.
            accepted = m_sink->restart();
        } else {
            accepted = false;
        }
    }
    if (!accepted) {
        m_rejected = true;
        return false;
    }
    m_answerAccepted = true;
    return true;
}

int ServerTransfer::progressCallback(void *self, curl_off_t downTotal, curl_off_t downNow,
                                     curl_off_t upTotal, curl_off_t upNow)
{
    auto *transfer = static_cast<ServerTransfer *>(self);
    if (transfer->m_released)
        return 1; // stops the transfer
    // curl's own low-speed check averages over several seconds; a stall is
    // measured here from the last byte that moved.
    const qint64 quietMs = transfer->m_clock.elapsed() - transfer->m_lastActivity;
    if (quietMs >= qint64(qMax(1, transfer->m_options.timeoutSeconds)) * 1000) {
        transfer->m_stalled = true;
        return 1;
    }
    if (!transfer->onProgress || transfer->m_rejected)
        return 0;
    if (transfer->m_body && upNow != transfer->m_lastUp && upTotal > 0 && upNow > 0) {
        transfer->m_lastUp = upNow;
        transfer->onProgress(upNow, upTotal);
        if (transfer->m_released)
            return 1;
    }
    if (transfer->m_answerAccepted && downNow != transfer->m_lastDown) {
        transfer->m_lastDown = downNow;
        const qint64 offset = qMax<qint64>(0, transfer->m_options.resumeFrom);
        transfer->onProgress(offset + downNow, downTotal > 0 ? offset + downTotal : -1);
        if (transfer->m_released)
            return 1;
    }
    return 0;
}

} // namespace Quorvane
