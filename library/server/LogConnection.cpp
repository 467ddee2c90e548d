#include "LogConnection.h"

#include "CurrentUser.h"
#include "EventXml.h"
#include "LocalLayout.h"
#include "SettingsStore.h"
#include "UploadBody.h"

#include <QBasicTimer>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTime>
#include <QUrl>
#include <QWeakPointer>

namespace Quorvane {

namespace {

// What the client may hold of an answer before we have written it to disk.
// Without a bound, a disk slower than the network piles the answer up in
// memory.
constexpr qint64 ReadBufferSize = 256 * 1024;
constexpr qint64 TransferBlockSize = 256 * 1024;

// Qt wants one manager per thread; the connections of a thread share it, and
// it goes when the last of them goes.
QSharedPointer<QNetworkAccessManager> threadNetwork()
{
    static thread_local QWeakPointer<QNetworkAccessManager> current;
    QSharedPointer<QNetworkAccessManager> network = current.toStrongRef();
    if (!network) {
        // deleteLater: the last connection may go from inside a reply's signal.
        network = QSharedPointer<QNetworkAccessManager>(new QNetworkAccessManager,
                                                        &QObject::deleteLater);
        current = network;
    }
    return network;
}

// A query value as a URI component: everything but the unreserved characters
// is escaped, so "&", "=", "+", "#", "%" and spaces arrive as they were.
QByteArray encoded(const QByteArray &value)
{
    return value.toPercentEncoding();
}

bool isWebScheme(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        && !url.host().isEmpty();
}

// The server's address for one action: scheme, host and port from the
// "server_url" setting as it stands now, then the fixed path. Invalid when the
// setting does not name an http or https server.
QUrl serverAddress(const SettingsStore &settings, const QByteArray &action, const QByteArray &query)
{
    const QUrl configured(QString::fromUtf8(settings.readServerUrl()), QUrl::StrictMode);
    if (!configured.isValid() || !isWebScheme(configured))
        return QUrl();
    QUrl address;
    address.setScheme(configured.scheme().toLower());
    address.setHost(configured.host());
    address.setPort(configured.port());
    address.setPath(QLatin1String(LogConnection::ServerPath) + QLatin1Char('/')
                    + QLatin1String(action));
    address.setQuery(QString::fromLatin1(query));
    return address;
}

QByteArray credentialsQuery(const SettingsStore &settings)
{
    return "username=" + encoded(settings.readUser())
        + "&password=" + encoded(settings.readPassword());
}

QByteArray accessValue(int access, int defaultAccess)
{
    switch (access) {
    case 0:
        return "2";
    case 1:
        return "0";
    case 2:
        return "-1";
    case 3:
        return "-2";
    default:
        return QByteArray::number(defaultAccess);
    }
}

qint64 localMidnight(const QDate &date)
{
    return QDateTime(date, QTime(0, 0), Qt::LocalTime).toSecsSinceEpoch();
}

QNetworkRequest serverRequest(const QUrl &address, const char *contentType)
{
    QNetworkRequest request(address);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray(contentType));
    return request;
}

} // namespace

LogConnection::LogConnection()
    : m_network(threadNetwork())
{
}

LogConnection::~LogConnection()
{
    // The manager outlives us when other connections share it: the reply
    // must not go on reading our body or calling us.
    releaseReply();
    dropResponseFile();
}

void LogConnection::setOwnerTimer(QBasicTimer *ownerTimer, QObject *timerReceiver)
{
    m_ownerTimer = ownerTimer;
    m_timerReceiver = timerReceiver;
}

bool LogConnection::takeResult(int &result)
{
    const int status = m_status;
    if (status != InFlight) {
        // A response file still held belongs to a request that did not end
        // well: it holds nothing worth keeping.
        dropResponseFile();
        m_status = Idle;
    }
    if (status == Idle)
        return false;
    result = status == Finished ? 0 : status;
    return true;
}

int LogConnection::readEvents(EventMap &out, bool, int, int)
{
    int result = 0;
    if (serverOption && !takeResult(result))
        result = startRead();
    for (auto it = m_events.cbegin(); it != m_events.cend(); ++it)
        out.insert(it.key(), it.value());
    return result;
}

int LogConnection::openEvent(EventElement &)
{
    return 199;
}

int LogConnection::downloadEvent(EventElement &event)
{
    int result;
    return takeResult(result) ? result : startDownload(event);
}

int LogConnection::saveEvent(EventElement &event)
{
    int result;
    return takeResult(result) ? result : startSave(event);
}

int LogConnection::removeEvent(EventElement &event)
{
    int result;
    return takeResult(result) ? result : startRemove(event);
}

int LogConnection::updateEvent(EventElement &)
{
    return 1;
}

void LogConnection::setParameters(int, int, const QByteArray &, const QByteArray &) { }

bool LogConnection::isAvailable()
{
    return true;
}

int LogConnection::startRead()
{
    m_events.clear();
    SettingsStore settings;

    // The window [S, E]: E is written as an unsigned 32-bit number.
    qint64 start;
    quint32 end;
    if (startTime == -1) {
        const int days = settings.readInt(SettingsStore::RefreshDays);
        start = localMidnight(QDate::currentDate().addDays(-days));
        end = 4294967295u;
    } else {
        if (dayCount != 0) {
            const QDate day = QDateTime::fromSecsSinceEpoch(startTime, Qt::LocalTime).date();
            start = localMidnight(day.addDays(-dayCount));
        } else {
            start = startTime;
        }
        end = quint32(qint64(startTime) + 86400);
    }

    QByteArray query = credentialsQuery(settings) + "&starttime=" + QByteArray::number(start)
        + "&endtime=" + QByteArray::number(end);
    if (searchFields.contains("description"))
        query += "&searchdescription=" + encoded(searchText);
    if (searchFields.contains("name"))
        query += "&searchtitle=" + encoded(searchText);

    const QUrl address = serverAddress(settings, "quorvget", query);
    if (address.isEmpty())
        return Failed;
    return send(Request::Read, serverRequest(address, "text/plain"),
                std::make_unique<UploadBody>("NoData", QString()), settings.readDataPath(),
                "GetEvents.ServerResponse.txt", tr("Reading events from server..."));
}

int LogConnection::startDownload(const EventElement &event)
{
    // The download lands in a holding file named after the id.
    if (!LocalLayout::isSafeId(event.getId()))
        return Failed;
    SettingsStore settings;
    const QByteArray holding
        = LocalLayout::holdingFolder(QString::fromUtf8(settings.readDataPath())).toUtf8();
    const QString statusText
        = tr("Downloading event \"%1\"...").arg(QString::fromUtf8(event.getName()));

    if (event.kind == 0) {
        // The file lives at the address in content: fetched whole, as given.
        const QUrl address(QString::fromUtf8(event.getContent()));
        if (!address.isValid() || !isWebScheme(address))
            return Failed;
        return send(Request::Download, QNetworkRequest(address), nullptr, holding, event.getId(),
                    statusText);
    }

    const QUrl address
        = serverAddress(settings, "quorvdownload",
                        credentialsQuery(settings) + "&extguid=" + encoded(event.getId()));
    if (address.isEmpty())
        return Failed;
    return send(Request::Download, serverRequest(address, "application/xml"),
                std::make_unique<UploadBody>(EventXml::document(event), QString()), holding,
                event.getId(), statusText);
}

int LogConnection::startSave(const EventElement &event)
{
    SettingsStore settings;
    const QByteArray dataPath = settings.readDataPath();

    // The file to send: a path with a separator is taken as it is; a bare name
    // lies in the event's folder. Text events send their generated file, also
    // when they have no path at all: it holds their text.
    const QByteArray path = event.getPath();
    const bool textEvent = event.kind == 1 || event.kind == 2;
    QString fileName;
    if (path.contains('/') || path.contains('\\')) {
        fileName = QString::fromUtf8(path);
    } else if (!path.isEmpty() || textEvent) {
        if (!LocalLayout::isSafeId(event.getId()))
            return Failed;
        const QString folder = LocalLayout::eventFolder(QString::fromUtf8(dataPath),
                                                        event.getRecordTime(), event.getId());
        fileName = textEvent ? LocalLayout::generatedFile(folder)
                             : folder + QLatin1Char('/') + QString::fromUtf8(path);
    }

    auto body = std::make_unique<UploadBody>(EventXml::document(event) + EventXml::UploadSeparator,
                                             fileName);
    const QByteArray query = credentialsQuery(settings)
        + "&access_id=" + accessValue(event.access, settings.readInt(SettingsStore::DefaultAccess))
        + "&title=" + encoded(event.getName());
    const QUrl address = serverAddress(settings, "quorvupload", query);
    if (address.isEmpty())
        return Failed;
    return send(Request::Save, serverRequest(address, "application/octet-stream"), std::move(body),
                dataPath, "SaveEvent.ServerResponse.txt",
                tr("Uploading event \"%1\"...").arg(QString::fromUtf8(event.getName())));
}

int LogConnection::startRemove(const EventElement &event)
{
    SettingsStore settings;
    const QUrl address = serverAddress(
        settings, "quorvdelete", credentialsQuery(settings) + "&extguid=" + encoded(event.getId()));
    if (address.isEmpty())
        return Failed;
    return send(Request::Remove, serverRequest(address, "application/xml"),
                std::make_unique<UploadBody>(EventXml::document(event), QString()),
                settings.readDataPath(), "RemoveEvent.ServerResponse.txt",
                tr("Removing event \"%1\"...").arg(QString::fromUtf8(event.getName())));
}

int LogConnection::send(Request kind, const QNetworkRequest &prepared,
                        std::unique_ptr<QIODevice> body, const QByteArray &dataPath,
                        const QByteArray &responseFileName, const QString &statusText)
{
    // Nothing goes out unless the body can be read and the answer has a place.
    if (body && !body->open(QIODevice::ReadOnly))
        return Failed;
    if (dataPath.isEmpty())
        return Failed; // no data folder set: the answer has nowhere to go
    const QString folder = QString::fromUtf8(dataPath);
    QDir().mkpath(folder);
    const QString responseName = folder + QLatin1Char('/') + QString::fromUtf8(responseFileName);
    if (QFile::exists(responseName))
        QFile::remove(responseName);
    auto responseFile = std::make_unique<QFile>(responseName);
    if (!responseFile->open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return Failed;

    // A rejected answer may still be on its way out; it has no say any more.
    releaseReply();
    m_responseFile = std::move(responseFile);
    m_aborted = false;
    m_request = kind;
    reportMessage(statusText);

    QNetworkRequest request(prepared);
    // A redirection's own body is the answer.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply *reply;
    if (body) {
        request.setHeader(QNetworkRequest::ContentLengthHeader, body->size());
        reply = m_network->post(request, body.get());
        body.release()->setParent(reply); // read until the reply is gone
    } else {
        reply = m_network->get(request);
    }
    reply->setReadBufferSize(ReadBufferSize);
    m_reply = reply;
    connect(reply, &QNetworkReply::finished, this, &LogConnection::httpRequestFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &LogConnection::readResponseHeader);
    connect(reply, &QNetworkReply::readyRead, this, &LogConnection::writeResponseData);
    connect(reply, &QNetworkReply::downloadProgress, this, &LogConnection::updateDataReadProgress);
    connect(reply, &QNetworkReply::uploadProgress, this, &LogConnection::updateDataSendProgress);
    m_status = InFlight;
    return InFlight;
}

void LogConnection::httpRequestFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply || sender() != reply)
        return;
    writeResponseData(); // whatever arrived after the last readyRead
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();

    startOwnerTimer();
    if (m_aborted)
        return; // whoever aborted has set the result
    // Every transport failure fails the request; a body cut short is no answer.
    if (reply->error() != QNetworkReply::NoError) {
        m_aborted = true;
        m_status = Failed;
        return;
    }
    if (!m_responseFile->flush()) {
        m_status = Failed;
        return;
    }
    const QString answer = m_responseFile->fileName();
    m_responseFile->close();
    m_responseFile.reset(); // the answer stays on disk
    m_status = Finished;

    switch (m_request) {
    case Request::Save:
        if (EventXml::checkSaveAnswer(answer) == LoginRefused)
            m_status = LoginRefused;
        break;
    case Request::Read:
        if (EventXml::readEventList(answer, m_events) == LoginRefused)
            m_status = LoginRefused;
        break;
    case Request::Download:
    case Request::Remove:
    case Request::None:
        break;
    }
    m_request = Request::None;
}

void LogConnection::readResponseHeader()
{
    if (!m_reply || m_aborted)
        return;
    const QVariant code = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!code.isValid())
        return;
    // A request with a body starts after post() returns, and the bound set
    // then does not reach it: set it again now that the transfer runs.
    m_reply->setReadBufferSize(ReadBufferSize);
    switch (code.toInt()) {
    case 200:
    case 301:
    case 302:
    case 303:
    case 307:
        return;
    default:
        // Aborting from inside the client's own report upsets it: abort once
        // it is back in the event loop. Nothing more is written or reported.
        m_aborted = true;
        m_status = Failed;
        QMetaObject::invokeMethod(
            this,
            [this, reply = QPointer<QNetworkReply>(m_reply)] {
                if (reply && reply == m_reply)
                    reply->abort();
            },
            Qt::QueuedConnection);
    }
}

void LogConnection::writeResponseData()
{
    if (!m_reply || m_aborted || !m_responseFile)
        return;
    // Through one block that lives with the connection: no allocation per chunk.
    if (m_transferBlock.isEmpty())
        m_transferBlock.resize(TransferBlockSize);
    for (;;) {
        const qint64 got = m_reply->read(m_transferBlock.data(), m_transferBlock.size());
        if (got <= 0)
            return;
        if (m_responseFile->write(m_transferBlock.constData(), got) != got) {
            failInFlight(Failed); // a full disk must not pass for a complete answer
            return;
        }
    }
}

void LogConnection::updateDataReadProgress(qint64 bytesRead, qint64 totalBytes)
{
    reportTransfer(bytesRead, totalBytes);
}

void LogConnection::updateDataSendProgress(qint64 bytesSent, qint64 totalBytes)
{
    reportTransfer(bytesSent, totalBytes);
}

void LogConnection::reportTransfer(qint64 done, qint64 total)
{
    // The client closes every reply with an empty report (0 of 0); passing it on
    // would turn the host's finished progress bar into a busy one.
    if (m_aborted || (done == 0 && total == 0))
        return;
    reportProgress(done, total);
}

void LogConnection::cancelCurrentHttpOperation()
{
    reportMessage(tr("CANCELING OPERATIONS..."));
    failInFlight(Cancelled);
}

void LogConnection::failInFlight(int code)
{
    m_aborted = true;
    m_status = code;
    // Aborting reports the reply finished at once; that report changes nothing.
    if (QNetworkReply *reply = m_reply)
        reply->abort();
}

void LogConnection::startOwnerTimer()
{
    if (m_ownerTimer && m_timerReceiver && !m_ownerTimer->isActive())
        m_ownerTimer->start(OwnerTimerInterval, m_timerReceiver);
}

void LogConnection::releaseReply()
{
    if (QNetworkReply *reply = m_reply) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void LogConnection::dropResponseFile()
{
    if (!m_responseFile)
        return;
    m_responseFile->close();
    m_responseFile->remove();
    m_responseFile.reset();
}

} // namespace Quorvane
