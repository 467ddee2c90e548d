#pragma once

#include "CurlMulti.h"
#include "ReadBackSha256.h"
#include "Sha256.h"
#include "UploadBody.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace Quorvane {

// One HTTP exchange with the server on this thread's curl multi handle: the
// body streams from an UploadBody, the answer goes to a file as it arrives,
// and both directions are hashed on the way.
class ServerTransfer : public CurlClient
{
public:
    // Where the answer goes. It belongs to the request, not to one transfer:
    // a resumed download appends to it and its digest goes on.
    struct Sink
    {
        std::unique_ptr<QFile> file;
        // Of the bytes as they came, read back behind the writing.
        ReadBackSha256 hash;
        // Bytes taken from the server.
        qint64 written = 0;
        bool writeFailed = false;

        // Takes bytes; false when the disk refused them.
        bool take(const char *data, qint64 size);
        // Forgets everything taken: the answer starts over.
        bool restart();
        // Why the answer was not taken whole, for the user (empty: no bound).
        QString boundReached;
        // Asked before each piece; true once the file authenticates what it
        // is given, which a digest would only check again. The digest then
        // covers a part and means nothing.
        std::function<bool()> skipHash;

    private:
        bool hashing() const { return !skipHash || !skipHash(); }
    };

    struct Options
    {
        QByteArray url; // encoded
        QByteArray contentType; // empty: a GET without a body
        int timeoutSeconds = 60;
        qint64 uploadBytesPerSecond = 0; // 0: no limit
        qint64 downloadBytesPerSecond = 0;
        QByteArray caFile; // extra CAs beside the system's
        qint64 resumeFrom = -1; // asks for the rest of a cut download
        qint64 maxAnswerBytes = -1; // -1: no bound
        qint64 minFreeBytes = -1; // free space the answer leaves on its disk; -1: no bound
        bool fileAnswer = false; // a file's bytes, read in the largest pieces
    };

    ServerTransfer(CurlMulti &multi, const Options &options, std::unique_ptr<UploadBody> body,
                   Sink *sink);
    ~ServerTransfer() override;

    // Reported while it runs: bytes done and total (-1 when unknown).
    std::function<void(qint64, qint64)> onProgress;
    // Called once, when curl is done with it.
    std::function<void(CURLcode)> onDone;

    bool start();
    // Cuts every tie to the request: from now on curl's callbacks only stop
    // the transfer, and nothing is reported.
    void release();

    // The answer's status code was not one we accept (curl then stops).
    bool rejected() const { return m_rejected; }
    // The answer gave two different lengths: which part is the answer is
    // anyone's guess, so it was rejected.
    bool lengthsDisagree() const { return m_lengthsDisagree; }
    // The status code of the last answer whose header ended; 0 before one.
    long statusCode() const { return m_statusCode; }
    bool rangesAccepted() const { return m_rangesAccepted; }
    // The server's sha-256 "Repr-Digest", decoded; empty when it sent none.
    QByteArray serverDigest() const { return m_serverDigest; }
    // A Repr-Digest field line folded into the digest so far: empty while
    // none was sent, a sha-256's 32 bytes, or "invalid" (a sha-256 member that
    // does not decode, or two that differ), which matches nothing. Field lines
    // are one list: folding them one by one is folding them joined by commas.
    static QByteArray foldReprDigest(const QByteArray &sofar, const QByteArray &value);
    // The first byte of a Content-Range "bytes <first>-<last>/<length or *>",
    // or -1 when the value is no such range.
    static qint64 contentRangeStart(const QByteArray &value);
    // The digest of the file part of the body (what the server stores);
    // empty when curl sent parts of the body more than once out of order.
    QByteArray sentFileDigest();
    qint64 bodySize() const;
    QString errorText() const;

    void transferDone(CURLcode code) override;

private:
    static size_t writeCallback(char *data, size_t size, size_t count, void *self);
    static size_t readCallback(char *data, size_t size, size_t count, void *self);
    static int seekCallback(void *self, curl_off_t offset, int origin);
    static size_t headerCallback(char *data, size_t size, size_t count, void *self);
    static int progressCallback(void *self, curl_off_t downTotal, curl_off_t downNow,
                                curl_off_t upTotal, curl_off_t upNow);
    void readHeaderLine(const QByteArray &line);
    // Holds a direction back while it runs ahead of its limit: curl keeps
    // its pace over seconds, but may move a small body in one go.
    bool aheadOfLimit(qint64 bytesPerSecond, qint64 moved, qint64 more);
    bool acceptAnswer();
    // False, with the reason in the sink, when bytes more would pass a bound.
    bool withinBounds(qint64 bytes);

    CurlMulti &m_multi;
    Options m_options;
    CURL *m_easy = nullptr;
    curl_slist *m_headers = nullptr;
    std::unique_ptr<UploadBody> m_body;
    Sink *m_sink;
    bool m_released = false;
    bool m_rejected = false;
    bool m_answerAccepted = false;
    bool m_rangesAccepted = false;
    qint64 m_contentRangeStart = -1;
    QByteArray m_contentLength;
    bool m_lengthsDisagree = false;
    long m_statusCode = 0;
    QByteArray m_serverDigest;
    // Room above the free-space reserve when the disk was last asked, less
    // what was written since; below any block until asked.
    qint64 m_spareRoom = -1;
    qint64 m_writtenSinceFreeCheck = 0;
    // The file's bytes sent, hashed as curl takes them.
    Sha256 m_sentHash;
    bool m_sentHashValid = true;
    qint64 m_bodyCursor = 0;
    curl_off_t m_lastUp = -1;
    curl_off_t m_lastDown = 0;
    QElapsedTimer m_clock;
    // When bytes last moved (or we held them back ourselves), in m_clock's ms.
    qint64 m_lastActivity = 0;
    bool m_stalled = false;
    QTimer m_resumeTimer;
    qint64 m_sentBytes = 0;
    qint64 m_receivedBytes = 0;
    char m_error[CURL_ERROR_SIZE] = {};
};

} // namespace Quorvane
