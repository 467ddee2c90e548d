#pragma once

#include "HttpClient.h"

#include <QByteArray>
#include <QList>
#include <QNetworkAccessManager>
#include <QString>

// One user's requests to one server, as the library sends them; many at once
// when asked. Events carry only an id, a time and a file.
class ServiceClient
{
public:
    ServiceClient(QString baseUrl, QByteArray user, QByteArray password);

    struct Request
    {
        QString url;
        QByteArray body;
    };
    Request uploadRequest(const QByteArray &id, const QByteArray &file) const;
    Request downloadRequest(const QByteArray &id) const;

    HttpClient::Reply upload(const QByteArray &id, const QByteArray &file);
    HttpClient::Reply download(const QByteArray &id);
    HttpClient::Reply remove(const QByteArray &id);
    // The ids of the list, in its order; empty with failed set when it failed.
    QList<QByteArray> ids(bool *failed = nullptr);

    // A plain GET, for /health.
    static HttpClient::Reply get(const QString &url);

    // Sends every request at once over parallel connections and waits for all.
    static QList<HttpClient::Reply> sendAll(const QList<Request> &requests, int timeout = 120000);

    static QByteArray document(const QByteArray &id, quint32 time = 1000);
    static QByteArray randomBytes(int size);

private:
    QString target(const char *action, const QByteArray &id = {}) const;

    QString m_baseUrl;
    QByteArray m_user;
    QByteArray m_password;
    HttpClient m_http;
};
