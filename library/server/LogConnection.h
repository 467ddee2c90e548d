#pragma once

#include "CommonBase.h"
#include "IQuorvane.h"
#include "IStorage.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <curl/curl.h>
#include <memory>

class QBasicTimer;

namespace Quorvane {

// Keeps events on the backup server. It never waits for the network: an
// operation starts a request and returns 77; when the request ends the
// connection starts the owner's timer, and the owner calls the same operation
// again, which hands out the result (0, 99, 100 or 101). At most one request is
// in flight; a call while one runs returns 77 and starts nothing, and the first
// call after it ended receives its result, whichever operation made it.
//
// Use a connection only on the thread that created it. The connections of one
// thread share that thread's curl multi handle, and so its open connections.
// Each request writes its answer to a file of its own while in flight, so
// pipes that run at once never read each other's answers.
class CurlMulti;
class ServerTransfer;
class UploadBody;

class LogConnection : public QObject, public IStorage, public virtual CommonBase
{
    Q_OBJECT
public:
    // The status word: what the next operation call hands out.
    enum Status {
        Idle = 0,
        InFlight = ResultCode::Started,
        Finished = ResultCode::Finished, // handed out as 0
        Failed = ResultCode::Failure,
        LoginRefused = ResultCode::LoginRefused,
        Cancelled = ResultCode::Cancelled,
    };

    static constexpr int OwnerTimerInterval = 314; // milliseconds
    // The server's request path; scheme, host and port come from "server_url".
    static constexpr const char *ServerPath = "/action/file";

    LogConnection();
    ~LogConnection() override;

    // The owner lends a timer and the object that handles its events; the
    // connection starts the timer (unless it runs) whenever a request ends.
    // The owner stops it once it has a final result. Neither is owned.
    void setOwnerTimer(QBasicTimer *ownerTimer, QObject *timerReceiver);

    // With serverOption (from the shared query) false: the events of the last
    // read answer, no request. The three arguments are not used: the query
    // comes from CommonBase.
    int readEvents(EventMap &out, bool serverOption, int dayCount, int startTime) override;
    int openEvent(EventElement &event) override; // 199: not offered
    int downloadEvent(EventElement &event) override;
    int saveEvent(EventElement &event) override;
    int removeEvent(EventElement &event) override;
    int updateEvent(EventElement &event) override; // 1: not offered
    void setParameters(int first, int second, const QByteArray &firstText,
                       const QByteArray &secondText) override;
    bool isAvailable() override;

    // The status word as it stands (for owners that want to look without
    // collecting the result).
    int statusWord() const { return m_status; }

public slots:
    // Abandons the request in flight (if any): the next operation call
    // returns 101.
    void cancelCurrentHttpOperation();

private slots:
    void updateDataReadProgress(qint64 bytesRead, qint64 totalBytes);
    void updateDataSendProgress(qint64 bytesSent, qint64 totalBytes);

private:
    enum class Request { None, Read, Download, Save, Remove };
    struct Pending;

    bool takeResult(int &result);
    int startRead();
    int startDownload(const EventElement &event);
    int startSave(const EventElement &event);
    int startRemove(const EventElement &event);
    // Prepares the response file, then sends: POST with a body, else GET.
    int send(Request kind, const QByteArray &url, const char *contentType,
             std::unique_ptr<UploadBody> body, const QByteArray &dataPath,
             const QByteArray &responseFileName, const QString &statusText);
    bool startTransfer(std::unique_ptr<UploadBody> body, qint64 resumeFrom);
    void transferEnded(CURLcode code);
    bool resumeDownload(CURLcode code);
    int finishAnswer();
    // Opens the sealed events of a read (leaving out those that fail) and
    // applies a search the server could not.
    void openSealedEvents();
    void failInFlight(int code);
    void startOwnerTimer();
    void reportTransfer(qint64 done, qint64 total);
    void releaseTransfer();
    void dropResponseFile();

    std::shared_ptr<CurlMulti> m_multi;
    EventMap m_events; // the events of the last read answer
    int m_status = Idle;
    bool m_aborted = false;
    Request m_request = Request::None;
    std::unique_ptr<Pending> m_pending; // the request in flight or ended unread
    std::unique_ptr<ServerTransfer> m_transfer;
    QBasicTimer *m_ownerTimer = nullptr;
    QObject *m_timerReceiver = nullptr;
};

} // namespace Quorvane
