#include "ReferenceServer.h"

#include <QFile>
#include <QUrl>
#include <libpq-fe.h>
#include <sqlite3.h>

ReferenceServer::ReferenceServer()
    : m_data(std::make_unique<QTemporaryDir>())
    , m_process(std::make_unique<ServerProcess>(m_data->isValid() ? m_data->path() : QString()))
{
}

ReferenceServer::ReferenceServer(const QString &dataFolder, const QString &database)
    : m_process(std::make_unique<ServerProcess>(dataFolder, database))
{
}

// The process is killed with its owner: a test needs no orderly end.
ReferenceServer::~ReferenceServer() = default;

bool ReferenceServer::start(const QStringList &extraArguments)
{
    if (dataFolder().isEmpty()) {
        m_failure = QStringLiteral("no data folder");
        return false;
    }
    if (!m_accountAdded && !addAccount(User, Password)) {
        m_failure = QStringLiteral("cannot add the test account");
        return false;
    }
    m_accountAdded = true;
    // Tests refuse logins on purpose, more often than the server lets one
    // address guess; throttling itself is tested with its own settings.
    QStringList arguments = extraArguments;
    if (!arguments.contains(QStringLiteral("--login-failures")))
        arguments << QStringLiteral("--login-failures") << QStringLiteral("1000")
                  << QStringLiteral("--login-failures-per-address") << QStringLiteral("1000");
    if (!m_process->start(arguments)) {
        m_failure = m_process->failure();
        return false;
    }
    return true;
}

QString ReferenceServer::url() const
{
    return m_process->url();
}

bool ReferenceServer::addAccount(const QByteArray &name, const QByteArray &password)
{
    return m_process->account(QStringLiteral("adduser"), QString::fromUtf8(name), password) == 0;
}

QList<ReferenceServer::StoredEvent> ReferenceServer::events() const
{
    QList<StoredEvent> found;
    const QByteArray database = QFile::encodeName(dataFolder() + QStringLiteral("/events.sqlite"));
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(database.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        qWarning("cannot open %s: %s", database.constData(), db ? sqlite3_errmsg(db) : "");
        sqlite3_close(db);
        return found;
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt *statement = nullptr;
    const char *query = "SELECT e.event_id, e.name, e.path, e.description, e.access_id, u.name "
                        "FROM events e JOIN users u ON u.id = e.user_id ORDER BY e.name";
    if (sqlite3_prepare_v2(db, query, -1, &statement, nullptr) == SQLITE_OK) {
        const auto bytes = [&](int column) {
            return QByteArray(static_cast<const char *>(sqlite3_column_blob(statement, column)),
                              sqlite3_column_bytes(statement, column));
        };
        while (sqlite3_step(statement) == SQLITE_ROW)
            found.append({ bytes(0), bytes(1), bytes(2), bytes(3),
                           sqlite3_column_int64(statement, 4), bytes(5) });
    } else {
        qWarning("cannot read the events: %s", sqlite3_errmsg(db));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return found;
}

bool ReferenceServer::upload(const QByteArray &id, const QByteArray &name,
                             const QByteArray &fileName, const QByteArray &bytes, qint64 recordTime,
                             const QByteArray &content)
{
    const auto cdata = [](const QByteArray &value) { return "<![CDATA[" + value + "]]>"; };
    const QByteArray time = QByteArray::number(recordTime);
    const QByteArray document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><event><id>" + id
        + "</id><name>" + cdata(name) + "</name><path>" + cdata(fileName)
        + "</path><type>application/octet-stream</type><content>" + cdata(content)
        + "</content><description>" + cdata({}) + "</description><recordTime>" + time
        + "</recordTime><recordChanged>" + time + "</recordChanged></event>";
    const QByteArray target = "/action/file/quorvupload?username=" + QUrl::toPercentEncoding(User)
        + "&password="
        + QUrl::toPercentEncoding(Password)
        // The server reads the name from the document; a title of its first
        // characters keeps a long name within the request head's limit.
        + "&access_id=0&title=" + QUrl::toPercentEncoding(name.left(200));
    const HttpClient::Reply reply = m_http.post(m_process->url(target), document + "-|+" + bytes);
    return reply.status == 200 && !reply.body.startsWith("~**");
}

bool ReferenceServer::seedEvents(const QByteArray &account, int count, qint64 recordTime,
                                 int secondsApart, const QByteArray &description)
{
    if (!m_process->database().isEmpty())
        return seedPostgres(account, count, recordTime, secondsApart, description);
    const QByteArray database = QFile::encodeName(dataFolder() + QStringLiteral("/events.sqlite"));
    sqlite3 *db = nullptr;
    bool ok
        = sqlite3_open_v2(database.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    sqlite3_busy_timeout(db, 10000);
    // Room for the indexes of a million events, which are written out of order.
    ok = ok
        && sqlite3_exec(db, "PRAGMA cache_size = -262144", nullptr, nullptr, nullptr) == SQLITE_OK;
    // One statement, however many events.
    sqlite3_stmt *insert = nullptr;
    const char *query
        = "WITH RECURSIVE n(i) AS (SELECT 0 WHERE ?1 > 0 UNION ALL "
          "SELECT i + 1 FROM n WHERE i + 1 < ?1), "
          "t(i, seconds) AS (SELECT i, ?3 + i * ?4 FROM n) "
          "INSERT INTO events (user_id, event_id, name, path, type, content, description, "
          "record_time, record_changed, time_key, access_id, size, storage) "
          "SELECT u.id, CAST('seed-' || i AS BLOB), CAST('Event ' || i AS BLOB), "
          "CAST('note.txt' AS BLOB), 'text/plain', '', ?2, CAST(CAST(seconds AS TEXT) AS BLOB), "
          "CAST(CAST(seconds AS TEXT) AS BLOB), seconds, 0, 0, 'seed-' || i "
          "FROM users u, t WHERE u.name = ?5";
    ok = ok && sqlite3_prepare_v2(db, query, -1, &insert, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_int(insert, 1, count);
        sqlite3_bind_blob(insert, 2, description.constData(), int(description.size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(insert, 3, recordTime);
        sqlite3_bind_int(insert, 4, secondsApart);
        sqlite3_bind_blob(insert, 5, account.constData(), int(account.size()), SQLITE_STATIC);
        ok = sqlite3_step(insert) == SQLITE_DONE && sqlite3_changes(db) == count;
    }
    sqlite3_finalize(insert);
    if (!ok)
        qWarning("cannot seed the events: %s", db ? sqlite3_errmsg(db) : "");
    sqlite3_close(db);
    return ok;
}

bool ReferenceServer::seedPostgres(const QByteArray &account, int count, qint64 recordTime,
                                   int secondsApart, const QByteArray &description)
{
    // One statement, however many events.
    const char *query
        = "INSERT INTO events (user_id, event_id, name, path, type, content, description, "
          "record_time, record_changed, time_key, access_id, size, storage) "
          "SELECT u.id, convert_to('seed-' || n, 'UTF8'), convert_to('Event ' || n, 'UTF8'), "
          "'note.txt'::bytea, 'text/plain'::bytea, ''::bytea, $2, "
          "convert_to(($3 + n * $4)::text, 'UTF8'), convert_to(($3 + n * $4)::text, 'UTF8'), "
          "$3 + n * $4, 0, 0, 'seed-' || n "
          "FROM users u, generate_series(0, $5 - 1) AS n WHERE u.name = $1";
    const QByteArray time = QByteArray::number(recordTime);
    const QByteArray apart = QByteArray::number(secondsApart);
    const QByteArray total = QByteArray::number(count);
    const Oid types[] = { 17, 17, 20, 20, 20 };
    const char *values[] = { account.constData(), description.constData(), time.constData(),
                             apart.constData(), total.constData() };
    const int lengths[] = { int(account.size()), int(description.size()), 0, 0, 0 };
    const int formats[] = { 1, 1, 0, 0, 0 };
    PGconn *connection = PQconnectdb(m_process->database().toUtf8().constData());
    bool ok = PQstatus(connection) == CONNECTION_OK;
    if (ok) {
        PGresult *result = PQexecParams(connection, query, 5, types, values, lengths, formats, 0);
        ok = PQresultStatus(result) == PGRES_COMMAND_OK && QByteArray(PQcmdTuples(result)) == total;
        if (!ok)
            qWarning("cannot seed the events: %s", PQresultErrorMessage(result));
        PQclear(result);
        // As autovacuum soon would: the planner reads the table by its statistics.
        result = PQexec(connection, "ANALYZE events");
        ok = ok && PQresultStatus(result) == PGRES_COMMAND_OK;
        PQclear(result);
    } else {
        qWarning("cannot seed the events: %s", PQerrorMessage(connection));
    }
    PQfinish(connection);
    return ok;
}

QByteArray ReferenceServer::download(const QByteArray &id, int *status)
{
    const QByteArray target = "/action/file/quorvdownload?username=" + QUrl::toPercentEncoding(User)
        + "&password=" + QUrl::toPercentEncoding(Password)
        + "&extguid=" + QUrl::toPercentEncoding(id);
    const HttpClient::Reply reply = m_http.post(m_process->url(target), "NoData");
    if (status)
        *status = reply.status;
    return reply.body;
}

int ReferenceServer::requests(const QByteArray &action)
{
    return int(m_process->log().count("/action/file/" + action));
}
