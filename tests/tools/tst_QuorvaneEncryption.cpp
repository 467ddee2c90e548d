// Encrypted backups end to end: quorvane with a key sends the reference
// server nothing it could read, and a second home with only the passphrase
// gets every byte back, while tampered or moved events are refused.
#include "FaultRelay.h"
#include "QuorvaneRun.h"
#include "ReferenceServer.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUuid>
#include <sqlite3.h>

namespace {

using Run = QuorvaneRun;

const QByteArray Passphrase = "correct horse battery";

} // namespace

#define RUN_OK(run)                                                                                \
    do {                                                                                           \
        const Run &r = (run);                                                                      \
        QVERIFY2(r.exitCode == 0, r.err.constData());                                              \
    } while (0)

class tst_QuorvaneEncryption : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void keyIsMadeOncePrivateAndOnTheServer();
    void serverHoldsNoPlainText();
    void wrongPassphraseWritesNothing();
    void aKeyWhoseAnswerIsLostIsSettled();
    void freshHomeRestoresEveryByte();
    void tamperedEventsAreRefused_data();
    void tamperedEventsAreRefused();
    void eventMovedFromAnotherAccountIsRefused();

private:
    // quorvane as the user of home (a folder of m_root), with passphraseFile.
    Run quorvane(const QString &home, const QStringList &arguments,
                 const QByteArray &passphrase = Passphrase);
    void configure(const QString &home, const QByteArray &user, const QByteArray &password);
    QString homePath(const QString &home) const { return m_root.filePath(home); }
    QString keyFile(const QString &home) const
    {
        return homePath(home) + "/state/keycrate/encryption.key";
    }
    bool sql(const QByteArray &statement);
    QString storedFile(const QByteArray &id);
    QByteArray addLargeFile(QByteArray *bytes);

    QTemporaryDir m_root;
    std::unique_ptr<ReferenceServer> m_server;
    QMap<QString, QByteArray> m_files; // relative path -> bytes backed up from home "a"
    QByteArray m_plainId; // an event stored before the key
};

Run tst_QuorvaneEncryption::quorvane(const QString &home, const QStringList &arguments,
                                     const QByteArray &passphrase)
{
    const QString base = homePath(home);
    const QString passphraseFile = base + "/passphrase";
    QFile file(passphraseFile);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(passphrase + "\n");
    file.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", base);
    environment.insert("XDG_CONFIG_HOME", base + "/config");
    environment.insert("XDG_DATA_HOME", base + "/data");
    environment.insert("XDG_STATE_HOME", base + "/state");
    environment.insert("QUORVANE_PASSPHRASE_FILE", passphraseFile);
    return QuorvaneRun::run(arguments, {}, environment);
}

void tst_QuorvaneEncryption::configure(const QString &home, const QByteArray &user,
                                       const QByteArray &password)
{
    QDir().mkpath(homePath(home));
    QVERIFY(quorvane(home, { "config", "server_url", m_server->url() }).exitCode == 0);
    QVERIFY(quorvane(home, { "config", "user", QString::fromUtf8(user) }).exitCode == 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", homePath(home));
    environment.insert("XDG_CONFIG_HOME", homePath(home) + "/config");
    QProcess set;
    set.setProcessEnvironment(environment);
    set.start(qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane"),
              { "config", "--password-stdin" });
    set.write(password + "\n");
    set.closeWriteChannel();
    QVERIFY(set.waitForFinished() && set.exitCode() == 0);
}

bool tst_QuorvaneEncryption::sql(const QByteArray &statement)
{
    const QByteArray database = QFile::encodeName(m_server->dataFolder() + "/events.sqlite");
    sqlite3 *db = nullptr;
    bool ok
        = sqlite3_open_v2(database.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    sqlite3_busy_timeout(db, 10000);
    ok = ok && sqlite3_exec(db, statement.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

QString tst_QuorvaneEncryption::storedFile(const QByteArray &id)
{
    const QByteArray database = QFile::encodeName(m_server->dataFolder() + "/events.sqlite");
    sqlite3 *db = nullptr;
    sqlite3_stmt *select = nullptr;
    QString name;
    if (sqlite3_open_v2(database.constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK
        && sqlite3_prepare_v2(db, "SELECT storage FROM events WHERE event_id = ?", -1, &select,
                              nullptr)
            == SQLITE_OK) {
        sqlite3_bind_blob(select, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(select) == SQLITE_ROW)
            name
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(select, 0)));
    }
    sqlite3_finalize(select);
    sqlite3_close(db);
    return name.isEmpty() ? QString() : m_server->dataFolder() + "/files/" + name;
}

// A file of three chunks and a bit, sent on its own; its id.
QByteArray tst_QuorvaneEncryption::addLargeFile(QByteArray *bytes)
{
    bytes->resize(2 * 1024 * 1024 + 1024 * 1024 / 2);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes->data()),
                                          bytes->size() / 4);
    const QString path
        = homePath("a") + "/large-" + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(*bytes) != bytes->size())
        return QByteArray();
    file.close();
    const Run run = quorvane("a", { "add", path, "--server-only" });
    QFile::remove(path);
    return run.exitCode == 0 ? run.out.trimmed() : QByteArray();
}

void tst_QuorvaneEncryption::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    QVERIFY(m_server->addAccount("other", "other-pass"));
    configure("a", ReferenceServer::User, ReferenceServer::Password);
}

void tst_QuorvaneEncryption::keyIsMadeOncePrivateAndOnTheServer()
{
    // Stored before the key: it must stay readable.
    const QString before = homePath("a") + "/before-the-key.txt";
    QFile beforeFile(before);
    QVERIFY(beforeFile.open(QIODevice::WriteOnly));
    beforeFile.write("stored before the key");
    beforeFile.close();
    const Run plain = quorvane("a", { "add", before, "--server-only" });
    RUN_OK(plain);
    m_plainId = plain.out.trimmed();

    const Run made = quorvane("a", { "key", "init" });
    RUN_OK(made);
    QVERIFY(made.out.startsWith("key "));
    QVERIFY(made.err.contains("loses the backups"));
    QCOMPARE(QFileInfo(keyFile("a")).permissions() & 0x0777,
             QFileDevice::ReadUser | QFileDevice::WriteUser);
    QCOMPARE(quorvane("a", { "key", "init" }).exitCode, 99);

    // A new passphrase re-wraps the same key, the old one no longer opens it,
    // and the server keeps only the newest wrapping.
    const QString newFile = homePath("a") + "/new-passphrase";
    QFile file(newFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("another passphrase\n");
    file.close();
    const Run changed = quorvane("a", { "key", "passwd", "--new-passphrase-file", newFile });
    RUN_OK(changed);
    QCOMPARE(changed.out, made.out);
    QCOMPARE(quorvane("a", { "list", "--server" }).exitCode, 99);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(Passphrase + "\n");
    file.close();
    RUN_OK(
        quorvane("a", { "key", "passwd", "--new-passphrase-file", newFile }, "another passphrase"));
    int wrappings = 0;
    for (const ReferenceServer::StoredEvent &event : m_server->events())
        wrappings += event.name.startsWith("Encryption key [") ? 1 : 0;
    QCOMPARE(wrappings, 1);
}

void tst_QuorvaneEncryption::serverHoldsNoPlainText()
{
    QList<QByteArray> plainTexts;
    const QString folder = homePath("a") + "/Documents";
    for (int i = 0; i < 100; ++i) {
        const QString name = QStringLiteral("plain-name-%1.txt").arg(i, 3, 10, QLatin1Char('0'));
        // The last too large for a pack: restored whole, by its plain digest.
        const QByteArray bytes = "known contents " + QByteArray::number(i) + " "
            + QUuid::createUuid().toByteArray()
            + QByteArray(i == 99 ? 300 << 10 : i * 37, char('a' + i % 26));
        QDir().mkpath(folder + "/sub" + QString::number(i % 5));
        const QString relative = "sub" + QString::number(i % 5) + "/" + name;
        QFile file(folder + "/" + relative);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        m_files.insert(relative, bytes);
        plainTexts << bytes << name.toUtf8();
    }
    RUN_OK(quorvane("a", { "backup", folder }));
    const QString single = homePath("a") + "/single-plain-file.txt";
    QFile singleFile(single);
    QVERIFY(singleFile.open(QIODevice::WriteOnly));
    singleFile.write("a single plain text kept apart");
    singleFile.close();
    RUN_OK(quorvane("a",
                    { "add", single, "--title", "Plain title of mine", "--description",
                      "Plain description of mine" }));
    plainTexts << "a single plain text kept apart"
               << "Plain title of mine"
               << "Plain description of mine"
               << "single-plain-file.txt"
               << "Documents" << homePath("a").toUtf8();

    QStringList searched;
    QDirIterator it(m_server->dataFolder(), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile stored(it.next());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        const QByteArray bytes = stored.readAll();
        for (const QByteArray &plain : plainTexts)
            QVERIFY2(!bytes.contains(plain),
                     qPrintable(it.filePath() + " holds " + QString::fromUtf8(plain.left(40))));
        searched << it.fileName();
    }
    QVERIFY(searched.contains("events.sqlite"));
    for (const ReferenceServer::StoredEvent &event : m_server->events()) {
        if (!event.name.startsWith("Encryption key") && event.id != m_plainId)
            QVERIFY2(event.name.startsWith("Encrypted [") && event.access == 0, event.name);
    }

    // The owner still reads the plain names back.
    const Run list = quorvane("a", { "list", "--server", "--all", "--search", "Plain title" });
    RUN_OK(list);
    QVERIFY2(list.out.contains("Plain title of mine"), list.out);
}

void tst_QuorvaneEncryption::wrongPassphraseWritesNothing()
{
    configure("b", ReferenceServer::User, ReferenceServer::Password);
    // One key per account: a second machine fetches it instead of making one.
    const Run init = quorvane("b", { "key", "init" });
    QCOMPARE(init.exitCode, 99);
    QVERIFY2(init.err.contains("quorvane key fetch"), init.err);
    QVERIFY(!QFile::exists(keyFile("b")));
    const Run fetch = quorvane("b", { "key", "fetch" }, "not the passphrase");
    QCOMPARE(fetch.exitCode, 99);
    QVERIFY2(fetch.err.contains("wrong passphrase"), fetch.err);
    QVERIFY(!QFile::exists(keyFile("b")));

    // A passphrase file that never ends a line is refused, not read for ever.
    QProcessEnvironment endless = QProcessEnvironment::systemEnvironment();
    endless.insert("HOME", homePath("b"));
    endless.insert("XDG_CONFIG_HOME", homePath("b") + "/config");
    endless.insert("XDG_DATA_HOME", homePath("b") + "/data");
    endless.insert("XDG_STATE_HOME", homePath("b") + "/state");
    endless.insert("QUORVANE_PASSPHRASE_FILE", "/dev/zero");
    const Run zero = QuorvaneRun::run({ "key", "fetch" }, {}, endless);
    QCOMPARE(zero.exitCode, 99);
    QVERIFY2(zero.err.contains("longer than 64 KiB"), zero.err);

    RUN_OK(quorvane("b", { "key", "fetch" }));
    const QString target = homePath("b") + "/wrong";
    const Run restore = quorvane("b", { "restore", "latest", "--to", target }, "still wrong");
    QCOMPARE(restore.exitCode, 99);
    QVERIFY2(restore.err.contains("wrong passphrase"), restore.err);
    QVERIFY(!QFile::exists(target));
}

void tst_QuorvaneEncryption::aKeyWhoseAnswerIsLostIsSettled()
{
    const auto keysOf = [this](const QByteArray &owner) {
        int count = 0;
        for (const ReferenceServer::StoredEvent &event : m_server->events())
            count += event.owner == owner && event.name.startsWith("Encryption key [") ? 1 : 0;
        return count;
    };
    FaultRelay relay(quint16(QUrl(m_server->url()).port()));
    const QString relayUrl = QStringLiteral("http://127.0.0.1:%1").arg(relay.port());

    // Every answer to a send is cut: the server is asked again and has it.
    QVERIFY(m_server->addAccount("lost-answer", "pass-1"));
    configure("d", "lost-answer", "pass-1");
    RUN_OK(quorvane("d", { "config", "server_url", relayUrl }));
    relay.arm("OK saved", FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding, {}, true);
    const Run kept = quorvane("d", { "key", "init" });
    RUN_OK(kept);
    QVERIFY(relay.fired());
    QVERIFY2(kept.err.contains("kept the key"), kept.err);
    QVERIFY(QFile::exists(keyFile("d")));
    QCOMPARE(keysOf("lost-answer"), 1);

    // Every answer from then on is cut: nothing is written here, the user is
    // told, and key fetch later gets what the server kept.
    QVERIFY(m_server->addAccount("lost-all", "pass-2"));
    configure("e", "lost-all", "pass-2");
    RUN_OK(quorvane("e", { "config", "server_url", relayUrl }));
    relay.arm("HTTP/1.1 200", FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding,
              "quorvupload", true);
    const Run unknown = quorvane("e", { "key", "init" });
    QCOMPARE(unknown.exitCode, 99);
    QVERIFY2(unknown.err.contains("could not tell") && unknown.err.contains("key fetch"),
             unknown.err);
    QVERIFY(!QFile::exists(keyFile("e")));
    QCOMPARE(keysOf("lost-all"), 1);
    relay.arm("never sent", FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding);
    QCOMPARE(quorvane("e", { "key", "init" }).exitCode, 99);
    const Run fetched = quorvane("e", { "key", "fetch" });
    RUN_OK(fetched);
    QCOMPARE(keysOf("lost-all"), 1);
}

void tst_QuorvaneEncryption::freshHomeRestoresEveryByte()
{
    const QString target = homePath("b") + "/back";
    RUN_OK(quorvane("b", { "restore", "latest", "--to", target }));
    int found = 0;
    QDirIterator it(target, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(path.indexOf("/Documents/") + 11);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY2(m_files.value(relative) == file.readAll(), qPrintable(relative));
        ++found;
    }
    QCOMPARE(found, m_files.size());

    RUN_OK(quorvane("b", { "pull", QString::fromLatin1(m_plainId) }));
    QDirIterator pulled(homePath("b") + "/data", { "before-the-key.txt" }, QDir::Files,
                        QDirIterator::Subdirectories);
    QVERIFY(pulled.hasNext());
    QFile plainFile(pulled.next());
    QVERIFY(plainFile.open(QIODevice::ReadOnly));
    QCOMPARE(plainFile.readAll(), QByteArray("stored before the key"));
}

void tst_QuorvaneEncryption::tamperedEventsAreRefused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("flipped byte") << "flip";
    QTest::newRow("cut file") << "cut";
    QTest::newRow("two chunks swapped") << "swap";
    QTest::newRow("plain bytes in its place") << "plain";
}

void tst_QuorvaneEncryption::tamperedEventsAreRefused()
{
    QFETCH(QString, kind);
    QByteArray plain;
    const QByteArray id = addLargeFile(&plain);
    QVERIFY(!id.isEmpty());
    const QString stored = storedFile(id);
    QFile file(stored);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    file.close();
    const int header = 57, chunk = 1024 * 1024 + 16; // as format 2 writes them
    if (kind == "flip")
        bytes[header + chunk + 100] = char(bytes[header + chunk + 100] ^ 0x40);
    else if (kind == "cut")
        bytes.truncate(header + 2 * chunk);
    else if (kind == "swap")
        bytes = bytes.left(header) + bytes.mid(header + chunk, chunk) + bytes.mid(header, chunk)
            + bytes.mid(header + 2 * chunk);
    else
        bytes = plain;
    // The server's own digest and block sums would catch the change first:
    // they are made to agree, as a server that is not honest would.
    QVERIFY(QFile::remove(stored));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(file.write(bytes) == bytes.size());
    file.close();
    QVERIFY(sql("UPDATE events SET sha256 = NULL, block_sums = NULL, size = "
                + QByteArray::number(bytes.size()) + " WHERE event_id = CAST('" + id
                + "' AS BLOB)"));

    const Run pull = quorvane("b", { "pull", QString::fromLatin1(id) });
    QVERIFY2(pull.exitCode == 99, pull.err);
    QVERIFY2(pull.err.contains(kind == "plain" ? "should be encrypted" : "failed authentication"),
             pull.err);
    QDirIterator it(homePath("b") + "/data", QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QVERIFY2(!path.contains(QString::fromLatin1(id)), qPrintable(path));
    }
}

void tst_QuorvaneEncryption::eventMovedFromAnotherAccountIsRefused()
{
    QByteArray plain;
    const QByteArray id = addLargeFile(&plain);
    QVERIFY(!id.isEmpty());
    QVERIFY(sql("UPDATE events SET user_id = (SELECT id FROM users WHERE name = CAST('other' AS "
                "BLOB)) WHERE event_id = CAST('"
                + id + "' AS BLOB)"));
    // The other account holds the same key: only the binding to the account
    // can tell.
    configure("c", "other", "other-pass");
    QDir().mkpath(homePath("c") + "/state/keycrate");
    QVERIFY(QFile::copy(keyFile("a"), keyFile("c")));
    const Run list = quorvane("c", { "list", "--server", "--all" });
    RUN_OK(list);
    QVERIFY2(!list.out.contains(id), list.out);
    QVERIFY2(list.err.contains("failed authentication"), list.err);
    QVERIFY(quorvane("c", { "pull", QString::fromLatin1(id) }).exitCode != 0);
}

QTEST_GUILESS_MAIN(tst_QuorvaneEncryption)
#include "tst_QuorvaneEncryption.moc"
