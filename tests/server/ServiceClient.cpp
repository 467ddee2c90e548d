#include "ServiceClient.h"

#include <QDeadlineTimer>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTest>
#include <QUrl>

ServiceClient::ServiceClient(QString baseUrl, QByteArray user, QByteArray password)
    : m_baseUrl(std::move(baseUrl))
    , m_user(std::move(user))
    , m_password(std::move(password))
{
}

QByteArray ServiceClient::document(const QByteArray &id, quint32 time)
{
    const QByteArray stamp = QByteArray::number(time);
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>" + id + "</id><name><![CDATA["
        + id + "]]></name><path><![CDATA[file.bin]]></path><type>application/octet-stream</type>"
        + "<content><![CDATA[]]></content><description><![CDATA[]]></description><recordTime>"
        + stamp + "</recordTime><recordChanged>" + stamp + "</recordChanged></event>";
}

QByteArray ServiceClient::randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QString ServiceClient::target(const char *action, const QByteArray &id) const
{
    QByteArray query = "/action/file/" + QByteArray(action) + "?username="
        + QUrl::toPercentEncoding(m_user) + "&password=" + QUrl::toPercentEncoding(m_password);
    if (!id.isEmpty())
        query += "&extguid=" + QUrl::toPercentEncoding(id);
    return m_baseUrl + QString::fromLatin1(query);
}

ServiceClient::Request ServiceClient::uploadRequest(const QByteArray &id,
                                                    const QByteArray &file) const
{
    return { target("quorvupload") + "&access_id=0", document(id) + "-|+" + file };
}

ServiceClient::Request ServiceClient::downloadRequest(const QByteArray &id) const
{
    return { target("quorvdownload", id), document(id) };
}

HttpClient::Reply ServiceClient::upload(const QByteArray &id, const QByteArray &file)
{
    const Request request = uploadRequest(id, file);
    return m_http.post(request.url, request.body);
}

HttpClient::Reply ServiceClient::download(const QByteArray &id)
{
    const Request request = downloadRequest(id);
    return m_http.post(request.url, request.body);
}

HttpClient::Reply ServiceClient::remove(const QByteArray &id)
{
    return m_http.post(target("quorvdelete", id), document(id));
}

QList<QByteArray> ServiceClient::ids(bool *failed)
{
    const HttpClient::Reply reply
        = m_http.post(target("quorvget") + "&starttime=0&endtime=4294967295", {});
    const QList<QByteArray> lines = reply.body.split('\n');
    QList<QByteArray> found;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i)
        if (lines[i] == "id")
            found.append(lines[++i]);
    if (failed)
        *failed = reply.status != 200 || !reply.body.startsWith("OK");
    return found;
}

QList<HttpClient::Reply> ServiceClient::sendAll(const QList<Request> &requests, int timeout)
{
    QNetworkAccessManager manager;
    QList<QNetworkReply *> replies;
    for (const Request &request : requests) {
        QNetworkRequest message(QUrl::fromEncoded(request.url.toLatin1(), QUrl::TolerantMode));
        message.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
        replies.append(manager.post(message, request.body));
    }
    const QDeadlineTimer deadline(timeout);
    // Replies still open at the deadline are reported one by one below.
    (void)QTest::qWaitFor(
        [&replies] {
            return std::all_of(replies.begin(), replies.end(),
                               [](QNetworkReply *reply) { return reply->isFinished(); });
        },
        static_cast<int>(deadline.remainingTime()));
    QList<HttpClient::Reply> results;
    for (QNetworkReply *reply : replies) {
        HttpClient::Reply result;
        if (reply->isFinished()) {
            result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            result.body = reply->readAll();
            result.error
                = reply->error() == QNetworkReply::NoError ? QString() : reply->errorString();
        } else {
            reply->abort();
            result.error = "no answer within the time limit";
        }
        results.append(result);
        delete reply;
    }
    return results;
}

HttpClient::Reply ServiceClient::get(const QString &url)
{
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(url)));
    const bool finished = QTest::qWaitFor([reply] { return reply->isFinished(); }, 30000);
    HttpClient::Reply result;
    if (!finished)
        result.error = "no answer within the time limit";
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    delete reply;
    return result;
}
