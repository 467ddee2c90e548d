#include "KeycrateProcess.h"
#include "ReferenceServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

// Two real processes: a running keycrate, and keycrate-send handing it a file
// to back up, as a file manager's menu does. keycrate talks to the reference
// backup server on a loopback port.

namespace {

const QString Listening = QStringLiteral("keycrate.instance: listening at");

void storeSettings(const QString &serverUrl, const QString &dataPath, const QByteArray &user,
                   const QByteArray &password)
{
    QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("keycrate.org"), QStringLiteral("Quorvane"));
    settings.setValue(QStringLiteral("server_url"), serverUrl);
    settings.setValue(QStringLiteral("data_path"), dataPath.toUtf8());
    settings.setValue(QStringLiteral("user"), user);
    settings.setValue(QStringLiteral("password"), password);
    settings.sync();
}

KeycrateProcess::Run send(const QStringList &arguments)
{
    return KeycrateProcess::run(KeycrateProcess::binary(QStringLiteral("keycrate-send")),
                                arguments);
}

} // namespace

class tst_UploadHandOver : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void aHandedOverFileIsShownRefreshedAndUploaded();
    void withTheDefaultAccountNothingIsSent();

private:
    QString makeFile(const QString &name, const QByteArray &content);

    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<QTemporaryDir> m_files;
    std::unique_ptr<QTemporaryDir> m_data;
};

void tst_UploadHandOver::init()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    m_files = std::make_unique<QTemporaryDir>();
    m_data = std::make_unique<QTemporaryDir>();
}

QString tst_UploadHandOver::makeFile(const QString &name, const QByteArray &content)
{
    QFile file(m_files->filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

void tst_UploadHandOver::aHandedOverFileIsShownRefreshedAndUploaded()
{
    storeSettings(m_server->url(), m_data->path(), ReferenceServer::User,
                  ReferenceServer::Password);
    const QByteArray content = QByteArray("quarterly numbers\n").repeated(5000);
    const QString report = makeFile(QStringLiteral("report 2024.pdf"), content);

    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QVERIFY(!keycrate.output().contains(QStringLiteral("locked files listed")));
    QCOMPARE(send({ QStringLiteral("lock"), report }).exitCode, 0);

    const KeycrateProcess::Run run = send({ QStringLiteral("upload"), report });
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(keycrate.waitForOutput(QStringLiteral("upload finished 0"), 60000),
             qPrintable(keycrate.output()));
    const QString output = keycrate.output();
    QVERIFY(output.contains(QStringLiteral("message 1046 0 1")));
    QVERIFY(output.contains(QStringLiteral("main window shown")));
    QVERIFY(output.contains(QStringLiteral("locked files listed: 1")));
    QVERIFY(output.contains(QStringLiteral("upload submitted: \"%1\"").arg(report)));
    QVERIFY2(!output.contains(QStringLiteral("Error occurred"))
                 && !output.contains(QStringLiteral("Login error")),
             qPrintable(output));

    const QList<ReferenceServer::StoredEvent> stored = m_server->events();
    QCOMPARE(stored.size(), 1);
    QCOMPARE(stored[0].name, QByteArray("File [report 2024.pdf]"));
    QCOMPARE(stored[0].description, QByteArray("Uploaded by KEYCRATE"));
    QCOMPARE(stored[0].access, 0);
    QCOMPARE(m_server->download(stored[0].id), content);

    // A second file while the first one's window is up: the same way.
    const QString notes = makeFile(QStringLiteral("notes.txt"), "notes");
    QCOMPARE(send({ QStringLiteral("upload"), notes }).exitCode, 0);
    QVERIFY(keycrate.waitForOutput(QStringLiteral("upload submitted: \"%1\"").arg(notes)));
    const QDeadlineTimer deadline(60000);
    while (keycrate.output().count(QStringLiteral("upload finished 0")) < 2
           && !deadline.hasExpired())
        QTest::qWait(20);
    QCOMPARE(m_server->events().size(), 2);
    QCOMPARE(send({ QStringLiteral("quit") }).exitCode, 0);
    QVERIFY(keycrate.waitForExit());
}

void tst_UploadHandOver::withTheDefaultAccountNothingIsSent()
{
    storeSettings(m_server->url(), m_data->path(), "guest", "ferny");
    const QString file = makeFile(QStringLiteral("a.txt"), "a");
    KeycrateProcess keycrate;
    keycrate.start();
    QVERIFY(keycrate.waitForOutput(Listening));

    QCOMPARE(send({ QStringLiteral("upload"), file }).exitCode, 0);
    QVERIFY(keycrate.waitForOutput(QStringLiteral("upload handed over")));
    QCOMPARE(send({ QStringLiteral("show") }).exitCode, 0);
    QVERIFY(keycrate.waitForOutput(QStringLiteral("message 1046 0 2")));
    QVERIFY(!keycrate.output().contains(QStringLiteral("upload submitted")));
    QCOMPARE(m_server->requests("quorvupload"), 0);
    QCOMPARE(send({ QStringLiteral("quit") }).exitCode, 0);
    QVERIFY(keycrate.waitForExit());
}

QTEST_GUILESS_MAIN(tst_UploadHandOver)
#include "tst_UploadHandOver.moc"
