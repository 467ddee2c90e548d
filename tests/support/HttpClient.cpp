#include "HttpClient.h"

#include <QEventLoop>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

HttpClient::Reply HttpClient::post(const QString &url, const QByteArray &body, int timeout)
{
    QNetworkRequest request(QUrl::fromEncoded(url.toLatin1(), QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
    QNetworkReply *reply = m_manager.post(request, body);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    timer.start(timeout);
    if (!reply->isFinished())
        loop.exec();

    Reply result;
    if (!reply->isFinished()) {
        reply->abort();
        result.error = "no answer within the time limit";
    } else {
        result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        result.body = reply->readAll();
        if (result.status == 0)
            result.error = reply->errorString();
    }
    delete reply;
    return result;
}
