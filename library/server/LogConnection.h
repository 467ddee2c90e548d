#pragma once

#include "CommonBase.h"
#include "IQuorvane.h"
#include "IStorage.h"

#include <QByteArray>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <memory>

class QBasicTimer;
class QFile;
class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace Quorvane {

// Keeps events on the backup server. It never waits for the network: an
// operation starts a request and returns 77; when the request ends the
// connection starts the owner's timer, and the owner calls the same operation
// again, which hands out the result (0, 99, 100 or 101). At most one request is
// in flight; a call while one runs returns 77 and starts nothing, and the first
// call after it ended receives its result, whichever operation made it.
//
// Use a connection only on the thread that created it. The connections of one
// thread share that thread's network access manager.
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
    void httpRequestFinished();
    void readResponseHeader();
    void writeResponseData();
    void updateDataReadProgress(qint64 bytesRead, qint64 totalBytes);
    void updateDataSendProgress(qint64 bytesSent, qint64 totalBytes);

private:
    enum class Request { None, Read, Download, Save, Remove };

    bool takeResult(int &result);
    int startRead();
    int startDownload(const EventElement &event);
    int startSave(const EventElement &event);
    int startRemove(const EventElement &event);
    // Prepares the response file, then sends: POST with a body, else GET.
    int send(Request kind, const QNetworkRequest &request, std::unique_ptr<QIODevice> body,
             const QByteArray &dataPath, const QByteArray &responseFileName,
             const QString &statusText);
    void failInFlight(int code);
    void startOwnerTimer();
    void reportTransfer(qint64 done, qint64 total);
    void releaseReply();
    void dropResponseFile();

    QSharedPointer<QNetworkAccessManager> m_network;
    EventMap m_events; // the events of the last read answer
    int m_status = Idle;
    bool m_aborted = false;
    Request m_request = Request::None;
    QNetworkReply *m_reply = nullptr;
    std::unique_ptr<QFile> m_responseFile;
    QByteArray m_transferBlock;
    QBasicTimer *m_ownerTimer = nullptr;
    QObject *m_timerReceiver = nullptr;
};

} // namespace Quorvane
