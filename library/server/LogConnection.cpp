#include "LogConnection.h"

#include "CurlMulti.h"
#include "CurrentUser.h"
#include "DecryptingFile.h"
#include "EncryptingSource.h"
#include "EventSealer.h"
#include "EventXml.h"
#include "FetchedDigests.h"
#include "FileCipher.h"
#include "KeyRing.h"
#include "LocalLayout.h"
#include "OwnerOnly.h"
#include "ServerTransfer.h"
#include "SettingsStore.h"
#include "UploadBody.h"

#include <QBasicTimer>
#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTime>
#include <QTimerEvent>
#include <QUrl>
#include <atomic>

namespace Quorvane {

namespace {

// Kilobits per second as curl's bytes per second.
qint64 bytesPerSecond(int kilobits)
{
    return kilobits > 0 ? qint64(kilobits) * 125 : 0;
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

} // namespace

// The request in flight, or ended and not yet handed out.
struct LogConnection::Pending
{
    ServerTransfer::Sink sink;
    // Where a complete answer ends up once read; empty for downloads.
    QString answerName;
    // Where a whole download ends up.
    QString holdingName;
    ServerTransfer::Options options;
    QByteArray bodyHead; // a download's document, sent again on resuming
    bool resumed = false;
    // With the key unlocked, a read's search runs here on the plain fields:
    // the server only holds sealed ones.
    QByteArray searchText;
    QByteArray searchFields;
};

LogConnection::LogConnection()
    : m_multi(CurlMulti::forThisThread())
{
}

LogConnection::~LogConnection()
{
    // The multi handle outlives us when other connections share it: the
    // transfer must not go on writing to our file or calling us.
    releaseTransfer();
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
    // Into an empty map the list is shared, not copied: a large list would
    // otherwise cost every event a second record.
    if (out.isEmpty()) {
        out = m_events;
        return result;
    }
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
    const bool searchHere = KeyRing::instance().state() == KeyRing::Unlocked;
    if (!searchHere && searchFields.contains("description"))
        query += "&searchdescription=" + encoded(searchText);
    if (!searchHere && searchFields.contains("name"))
        query += "&searchtitle=" + encoded(searchText);

    const QUrl address = serverAddress(settings, "quorvget", query);
    if (address.isEmpty())
        return Failed;
    const int status
        = send(Request::Read, address.toEncoded(), "text/plain",
               std::make_unique<UploadBody>("NoData", QString()), settings.readDataPath(),
               "GetEvents.ServerResponse.txt", tr("Reading events from server..."));
    if (status == InFlight && searchHere) {
        m_pending->searchText = searchText;
        m_pending->searchFields = searchFields;
    }
    return status;
}

int LogConnection::startDownload(const EventElement &event)
{
    // The download lands in a holding file named after the id.
    if (!LocalLayout::isSafeId(event.getId()))
        return Failed;
    SettingsStore settings;
    const QByteArray data = settings.readDataPath();
    const QString statusText
        = tr("Downloading event \"%1\"...").arg(QString::fromUtf8(event.getName()));

    if (event.kind == 0) {
        // The file lives at the address in content: fetched whole, as given.
        const QUrl address(QString::fromUtf8(event.getContent()));
        if (!address.isValid() || !isWebScheme(address))
            return Failed;
        return send(Request::Download, address.toEncoded(), nullptr, nullptr, data, event.getId(),
                    statusText);
    }

    const QUrl address
        = serverAddress(settings, "quorvdownload",
                        credentialsQuery(settings) + "&extguid=" + encoded(event.getId()));
    if (address.isEmpty())
        return Failed;
    const bool sealed = KeyRing::instance().isSealed(event.getId());
    return send(Request::Download, address.toEncoded(), "application/xml",
                std::make_unique<UploadBody>(
                    EventXml::document(sealed ? EventSealer::idOnly(event) : event), QString()),
                data, event.getId(), statusText);
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
        const QString copyName = LocalLayout::storedCopyName(path);
        if (!textEvent && copyName.isEmpty())
            return Failed;
        fileName
            = textEvent ? LocalLayout::generatedFile(folder) : folder + QLatin1Char('/') + copyName;
    }

    EventElement sent = event;
    QByteArray access = accessValue(event.access, settings.readInt(SettingsStore::DefaultAccess));
    const QByteArray head = EventXml::document(event) + EventXml::UploadSeparator;
    auto body = std::make_unique<UploadBody>(head, fileName);
    if (!EventSealer::isKeyEvent(event)) {
        KeyRing &ring = KeyRing::instance();
        MasterKey key;
        const KeyRing::State state = ring.state();
        if (state == KeyRing::Locked) {
            reportMessage(tr("The encryption key is locked: nothing is uploaded until it is "
                             "unlocked."));
            return Failed;
        }
        if (state == KeyRing::Unlocked && ring.key(key)) {
            // The file is encrypted as it is sent: no second copy on disk.
            const CipherBinding binding { settings.readUser(), event.getId() };
            sent = EventSealer::sealed(event, key, binding);
            access = accessValue(1, 0); // the owner's alone
            const QByteArray sealedHead = EventXml::document(sent) + EventXml::UploadSeparator;
            body = fileName.isEmpty()
                ? std::make_unique<UploadBody>(sealedHead, QString())
                : std::make_unique<UploadBody>(
                    sealedHead, std::make_unique<EncryptingSource>(fileName, key, binding));
        }
    }
    const QByteArray query
        = credentialsQuery(settings) + "&access_id=" + access + "&title=" + encoded(sent.getName());
    const QUrl address = serverAddress(settings, "quorvupload", query);
    if (address.isEmpty())
        return Failed;
    return send(Request::Save, address.toEncoded(), "application/octet-stream", std::move(body),
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
    const bool sealed = KeyRing::instance().isSealed(event.getId());
    return send(Request::Remove, address.toEncoded(), "application/xml",
                std::make_unique<UploadBody>(
                    EventXml::document(sealed ? EventSealer::idOnly(event) : event), QString()),
                settings.readDataPath(), "RemoveEvent.ServerResponse.txt",
                tr("Removing event \"%1\"...").arg(QString::fromUtf8(event.getName())));
}

int LogConnection::send(Request kind, const QByteArray &url, const char *contentType,
                        std::unique_ptr<UploadBody> body, const QByteArray &dataPath,
                        const QByteArray &responseFileName, const QString &statusText)
{
    // Nothing goes out unless the body can be read and the answer has a place.
    // A rejected answer may still be on its way out; it has no say any more.
    if (body && !body->open(QIODevice::ReadOnly)) {
        // A pipe, device or missing file at the event's path: say so, not
        // merely that the upload failed.
        reportMessage(tr("Cannot read the file of the event: %1").arg(body->errorString()));
        return Failed;
    }
    if (dataPath.isEmpty())
        return Failed; // no data folder set: the answer has nowhere to go
    const QString data = QString::fromUtf8(dataPath);
    const QString foreign = Platform::OwnerOnly::foreignFolder(data);
    if (!foreign.isEmpty()) {
        reportMessage(foreign);
        return Failed;
    }
    const QString folder = kind == Request::Download ? LocalLayout::holdingFolder(data) : data;
    Platform::OwnerOnly::makeFolder(folder);
    const QString responseName = folder + QLatin1Char('/') + QString::fromUtf8(responseFileName);
    releaseTransfer();
    dropResponseFile();
    // Whatever stands at the name goes, a link too (exists() follows it); the
    // answer is then created new, so a link planted meanwhile fails the open.
    QFile::remove(responseName);

    auto pending = std::make_unique<Pending>();
    if (kind == Request::Download) {
        // Written apart until whole: what a killed download leaves is cleared
        // as its process's, and never saved as the event's file.
        static std::atomic<unsigned> downloads { 0 };
        const QString unfinished = LocalLayout::unfinishedDownload(data, downloads++);
        // From our server, an encrypted file is decrypted on its way to disk.
        std::unique_ptr<QFile> file;
        if (contentType) {
            KeyRing &ring = KeyRing::instance();
            MasterKey key;
            const bool haveKey = ring.key(key);
            auto decrypting = std::make_unique<DecryptingFile>(
                unfinished, CipherBinding { SettingsStore().readUser(), responseFileName },
                ring.isSealed(responseFileName), haveKey ? &key : nullptr);
            pending->sink.skipHash
                = [target = decrypting.get()] { return target->authenticates(); };
            file = std::move(decrypting);
        } else {
            file = std::make_unique<QFile>(unfinished);
        }
        // A change that ends meanwhile may take the empty unfinished folder away.
        const auto open = [&file, &unfinished] {
            return Platform::OwnerOnly::makeFolder(QFileInfo(unfinished).path())
                && file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered,
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        };
        if (!open() && !open())
            return Failed;
        pending->sink.file = std::move(file);
        pending->holdingName = responseName;
    } else {
        // Other pipes may be waiting for an answer of the same kind: ours is
        // written apart and takes the shared name only once it is read.
        auto file = std::make_unique<QTemporaryFile>(responseName + QLatin1String(".XXXXXX"));
        file->setAutoRemove(false);
        if (!file->open())
            return Failed;
        pending->sink.file = std::move(file);
        pending->answerName = responseName;
    }

    SettingsStore settings;
    ServerTransfer::Options &options = pending->options;
    options.url = url;
    options.contentType = contentType ? QByteArray(contentType) : QByteArray();
    options.timeoutSeconds = settings.readServerTimeout();
    options.uploadBytesPerSecond = bytesPerSecond(settings.readInt(SettingsStore::UploadLimit));
    options.downloadBytesPerSecond = bytesPerSecond(settings.readInt(SettingsStore::DownloadLimit));
    options.caFile = settings.readServerCaFile();
    // A server never fills the disk: a download keeps the free space the
    // setting asks for, and a list or status answer is kept whole, so it is
    // bounded too.
    if (kind == Request::Download)
        options.minFreeBytes = settings.readMinFreeSpace();
    else
        options.maxAnswerBytes = settings.readMaxListAnswer();
    options.fileAnswer = kind == Request::Download;
    if (kind == Request::Download && body)
        pending->bodyHead = body->headBytes();

    m_pending = std::move(pending);
    m_aborted = false;
    m_request = kind;
    reportMessage(statusText);
    if (!startTransfer(std::move(body), -1)) {
        dropResponseFile();
        return Failed;
    }
    m_status = InFlight;
    return InFlight;
}

bool LogConnection::startTransfer(std::unique_ptr<UploadBody> body, qint64 resumeFrom)
{
    ServerTransfer::Options options = m_pending->options;
    options.resumeFrom = resumeFrom;
    auto transfer
        = std::make_unique<ServerTransfer>(*m_multi, options, std::move(body), &m_pending->sink);
    transfer->onProgress = [this](qint64 done, qint64 total) { reportTransfer(done, total); };
    transfer->onDone = [this](CURLcode code) { transferEnded(code); };
    ServerTransfer *started = transfer.get();
    m_transfer = std::move(transfer);
    if (started->start())
        return true;
    releaseTransfer();
    return false;
}

void LogConnection::transferEnded(CURLcode code)
{
    if (!m_transfer || !m_pending)
        return;
    if (m_aborted) {
        startOwnerTimer();
        return; // whoever aborted has set the result
    }
    if (resumeDownload(code))
        return;
    ServerTransfer &transfer = *m_transfer;
    switch (code) {
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
        reportMessage(tr("The server's certificate is not trusted: %1").arg(transfer.errorText()));
        break;
    case CURLE_SSL_CONNECT_ERROR:
        reportMessage(tr("No secure connection to the server: %1").arg(transfer.errorText()));
        break;
    case CURLE_OPERATION_TIMEDOUT:
        reportMessage(tr("The server did not answer in time: %1").arg(transfer.errorText()));
        break;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_OUT_OF_MEMORY: // curl's word for a header line past its bound
        // An answer came, but not a whole one: the server or a proxy on the
        // way is at fault, not the connection.
        reportMessage(transfer.errorText().isEmpty()
                          ? tr("The server's answer broke off or was malformed.")
                          : tr("The server's answer broke off or was malformed: %1")
                                .arg(transfer.errorText()));
        break;
    default:
        break;
    }
    if (transfer.lengthsDisagree())
        reportMessage(tr("The server's answer gave two different lengths; it was not used."));
    else if (transfer.rejected() && transfer.statusCode() > 0 && transfer.statusCode() != 200
             && transfer.statusCode() != 206)
        // A name too long for the server (431), a document it refused (400)...
        reportMessage(
            tr("The server refused the request with status %1.").arg(transfer.statusCode()));

    const auto *decrypting = qobject_cast<DecryptingFile *>(m_pending->sink.file.get());
    const bool decryptionFailed = decrypting && !decrypting->problem().isEmpty();
    if (!m_pending->sink.boundReached.isEmpty())
        reportMessage(m_pending->sink.boundReached);
    if (decryptionFailed)
        reportMessage(decrypting->problem());
    if (m_pending->sink.writeFailed && m_pending->sink.boundReached.isEmpty() && !decryptionFailed)
        // A full disk says so: the user frees space rather than blames the server.
        reportMessage(tr("The server's answer could not be written to disk: %1")
                          .arg(m_pending->sink.file->errorString()));
    m_aborted = code != CURLE_OK || transfer.rejected() || m_pending->sink.writeFailed;
    int status = m_aborted ? Failed : Finished;
    if (!m_aborted) {
        // A digest the server sends must match what crossed the wire.
        const QByteArray expected = transfer.serverDigest();
        // An authenticated download has no digest of what crossed: its
        // authentication says more.
        const QByteArray actual = m_request == Request::Save ? transfer.sentFileDigest()
            : decrypting && decrypting->authenticates()      ? QByteArray()
                                                             : m_pending->sink.hash.digest();
        if (!expected.isEmpty() && !actual.isEmpty() && expected != actual) {
            reportMessage(tr("The data did not arrive intact."));
            status = Failed;
        } else {
            status = finishAnswer();
        }
    }
    m_status = status;
    releaseTransfer();
    startOwnerTimer();
}

bool LogConnection::resumeDownload(CURLcode code)
{
    // A download cut after some bytes asks once for the rest, when the server
    // said it serves ranges.
    Pending &pending = *m_pending;
    const bool cut = code == CURLE_PARTIAL_FILE || code == CURLE_RECV_ERROR
        || code == CURLE_OPERATION_TIMEDOUT || code == CURLE_GOT_NOTHING;
    if (m_request != Request::Download || !cut || pending.resumed || pending.sink.written <= 0
        || pending.sink.writeFailed || !m_transfer->rangesAccepted())
        return false;
    pending.resumed = true;
    std::unique_ptr<UploadBody> body;
    if (!pending.options.contentType.isEmpty()) {
        body = std::make_unique<UploadBody>(pending.bodyHead, QString());
        if (!body->open(QIODevice::ReadOnly))
            return false;
    }
    releaseTransfer();
    if (startTransfer(std::move(body), pending.sink.written))
        return true;
    m_aborted = true;
    m_status = Failed;
    startOwnerTimer();
    return true;
}

int LogConnection::finishAnswer()
{
    Pending &pending = *m_pending;
    QFile &file = *pending.sink.file;
    if (!file.flush())
        return Failed;
    int status = Finished;
    if (!pending.answerName.isEmpty()) {
        // The answer read is the one this request received, whatever other
        // requests write meanwhile, read while the file is still open and has
        // no name, so that nothing stays behind if reading ends the process;
        // then it takes the shared name.
        if (!file.seek(0))
            return Failed;
        switch (m_request) {
        case Request::Save:
            status = EventXml::checkSaveAnswer(file);
            break;
        case Request::Read:
            status = EventXml::readEventList(file, m_events);
            if (status == 0)
                openSealedEvents();
            // Marked as the server's while the list is still ours alone, so
            // a read with nothing stored locally can share it as it is.
            for (EventElement &event : m_events)
                event.location = 1;
            break;
        default:
            status = 0;
        }
        if (status == 0)
            status = Finished;
        else if (status != LoginRefused)
            m_events.clear();
        if (status == Failed)
            return Failed; // the held file goes when the result is handed out
        QFile::remove(pending.answerName);
        if (!file.rename(pending.answerName))
            file.remove();
    } else if (auto *decrypting = qobject_cast<DecryptingFile *>(&file)) {
        if (!decrypting->finish()) {
            reportMessage(decrypting->problem());
            return Failed; // the holding file goes when the result is handed out
        }
    }
    file.close();
    if (!pending.holdingName.isEmpty()) {
        // Made again in case a save emptied and removed it meanwhile.
        Platform::OwnerOnly::makeFolder(QFileInfo(pending.holdingName).path());
        QFile::remove(pending.holdingName);
        const QString unfinished = QFileInfo(file.fileName()).path();
        if (!file.rename(pending.holdingName))
            return Failed; // the file goes when the result is handed out
        QDir().rmdir(unfinished); // once nothing else is under way there
    }
    if (m_request == Request::Download) {
        // Kept for a host that checks the file against a digest: it need not
        // read every byte again.
        const QByteArray handed = pending.sink.hash.digest();
        auto *decrypting = qobject_cast<DecryptingFile *>(&file);
        FetchedDigests::instance().record(file.fileName(),
                                          decrypting ? decrypting->writtenDigest(handed) : handed);
    }
    m_pending.reset(); // the answer stays on disk
    return status;
}

void LogConnection::openSealedEvents()
{
    KeyRing &ring = KeyRing::instance();
    MasterKey key;
    const bool haveKey = ring.key(key);
    const QByteArray account = SettingsStore().readUser();
    const QString searchText = QString::fromUtf8(m_pending->searchText);
    const QByteArray &searchFields = m_pending->searchFields;
    for (auto it = m_events.begin(); it != m_events.end();) {
        EventElement &event = it.value();
        const EventSealer::Opened opened
            = EventSealer::open(event, haveKey ? &key : nullptr, account);
        if (opened != EventSealer::Opened::Plain)
            ring.markSealed(event.getId());
        if (opened == EventSealer::Opened::Refused) {
            reportMessage(tr("Warning: event %1 failed authentication: it was not encrypted "
                             "for this account by its key, or it was changed. Left out.")
                              .arg(QString::fromUtf8(event.getId())));
            it = m_events.erase(it);
            continue;
        }
        const auto found = [&searchText](const QByteArray &text) {
            return QString::fromUtf8(text).contains(searchText, Qt::CaseInsensitive);
        };
        const bool searched = searchFields.contains("name") || searchFields.contains("description");
        if (searched && !searchText.isEmpty()
            && !((searchFields.contains("name") && found(event.getName()))
                 || (searchFields.contains("description") && found(event.getDescription())))) {
            it = m_events.erase(it);
            continue;
        }
        ++it;
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
    // An empty report (0 of 0) would turn the host's finished progress bar
    // into a busy one.
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
    const bool inFlight = m_transfer != nullptr;
    m_aborted = true;
    m_status = code;
    releaseTransfer();
    if (inFlight)
        startOwnerTimer();
}

void LogConnection::startOwnerTimer()
{
    if (!m_ownerTimer || !m_timerReceiver)
        return;
    if (!m_ownerTimer->isActive())
        m_ownerTimer->start(OwnerTimerInterval, m_timerReceiver);
    // Wake the owner now: the timer stays as its periodic check, but the next
    // step need not wait for it. A tick for a timer stopped meanwhile carries
    // an id nobody answers to.
    QCoreApplication::postEvent(m_timerReceiver, new QTimerEvent(m_ownerTimer->timerId()));
}

void LogConnection::releaseTransfer()
{
    if (!m_transfer)
        return;
    m_transfer->release();
    m_multi->dispose(std::move(m_transfer));
}

void LogConnection::dropResponseFile()
{
    if (!m_pending)
        return;
    if (QFile *file = m_pending->sink.file.get()) {
        file->close();
        file->remove();
        if (!m_pending->holdingName.isEmpty())
            QDir().rmdir(QFileInfo(file->fileName()).path());
    }
    m_pending.reset();
}

} // namespace Quorvane
