#include "FileSizeLimit.h"
#include "QuorvaneRun.h"
#include "ReferenceServer.h"

#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// Clang before 15 tells of AddressSanitizer only through __has_feature.
#if !defined(__SANITIZE_ADDRESS__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif

namespace {

using Run = QuorvaneRun;

QString program()
{
    return qEnvironmentVariable("KEYCRATE_BIN_DIR") + QStringLiteral("/quorvane");
}

Run quorvane(const QStringList &arguments, const QByteArray &input = {})
{
    return QuorvaneRun::run(arguments, input);
}

QSettings sharedSettings()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("keycrate.org"),
                     QStringLiteral("Quorvane"));
}

} // namespace

#define RUN_OK(run) QVERIFY2((run).exitCode == 0, (run).err.constData())

class tst_QuorvaneCli : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void usageErrorsHelpAndVersion();
    void configSharesKeycratesSettings();
    void eventsOnBothSides();
    void backupOfAFolder();
    void unreadableOrOddFilesCostOnlyThemselves();
    void refusedLoginAndStoppedServer();
    void interruptDuringALargeUploadLeavesNoHalfEvent();
    void aLargeListInBoundedMemory();
    void killedPullsLeaveWholeEventsOnly();

private:
    QString makeFile(const QString &relative, const QByteArray &content);
    // The events `list --json` prints, by id.
    QMap<QString, QJsonObject> listed(const QStringList &options = { "--server", "--all" });
    void useAccount(const QByteArray &password);

    QTemporaryDir m_files;
    std::unique_ptr<ReferenceServer> m_server;
};

void tst_QuorvaneCli::initTestCase()
{
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    // The settings are made under a umask that takes nothing away.
    const mode_t mask = ::umask(0);
    const auto restoreMask = qScopeGuard([mask] { ::umask(mask); });
    RUN_OK(quorvane({ "config", "server_url", m_server->url() }));
    RUN_OK(quorvane({ "config", "user", ReferenceServer::User }));
    useAccount(ReferenceServer::Password);
}

void tst_QuorvaneCli::useAccount(const QByteArray &password)
{
    const Run run = quorvane({ "config", "--password-stdin" }, password + "\n");
    RUN_OK(run);
}

QString tst_QuorvaneCli::makeFile(const QString &relative, const QByteArray &content)
{
    const QString path = m_files.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

QMap<QString, QJsonObject> tst_QuorvaneCli::listed(const QStringList &options)
{
    QMap<QString, QJsonObject> events;
    const Run run = quorvane(QStringList { "list", "--json" } + options);
    if (run.exitCode != 0)
        qWarning("list failed: %s", run.err.constData());
    for (const QByteArray &line : run.out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(line, &error).object();
        if (error.error != QJsonParseError::NoError)
            qWarning("not JSON: %s", line.constData());
        events.insert(object.value("id").toString(), object);
    }
    return events;
}

// 100,000 events of an account: listed whole, in memory that grows with the
// events (about 140 bytes each in the answer) by well under 1.5 KB each, and
// the answer never stays behind under another name, even when the program is
// killed while reading it.
void tst_QuorvaneCli::aLargeListInBoundedMemory()
{
    // The peak is read from the program's own VmHWM while it runs.
    const auto listedWithPeak = [](long *peakKiB) {
        QProcess process;
        process.start(program(), { "list", "--server", "--all", "--json" });
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        while (!process.waitForFinished(5)) {
            if (process.state() == QProcess::NotRunning || !status.open(QIODevice::ReadOnly))
                break;
            for (const QByteArray &line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    *peakKiB = std::max(*peakKiB, line.mid(6).trimmed().split(' ')[0].toLong());
            status.close();
        }
        process.waitForFinished(120000);
        Run run;
        run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        run.out = process.readAllStandardOutput();
        run.err = process.readAllStandardError();
        return run;
    };
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int count = 20000; // the bound is not checked here, and the rest costs
#else
    const int count = 100000;
#endif
    long emptyKiB = 0;
    RUN_OK(listedWithPeak(&emptyKiB));
    QVERIFY(m_server->seedEvents(ReferenceServer::User, count, QDateTime::currentSecsSinceEpoch()));

    long peakKiB = 0;
    const Run run = listedWithPeak(&peakKiB);
    RUN_OK(run);
    QCOMPARE(run.out.count("{\"id\":\"seed-"), count);
    QVERIFY(run.out.contains("\"name\":\"Event " + QByteArray::number(count - 1) + "\""));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    QVERIFY(emptyKiB > 0);
    const long grownKiB = peakKiB - emptyKiB;
    QVERIFY2(grownKiB < count * 3 / 2, qPrintable(QString::number(grownKiB) + " KiB"));
#endif

    const Run where = quorvane({ "config", "data_path" });
    RUN_OK(where);
    const QDir data(QString::fromUtf8(where.out.trimmed()));
    const QStringList answers { "GetEvents.ServerResponse.txt" };
    QCOMPARE(data.entryList({ "GetEvents*" }, QDir::Files | QDir::Hidden), answers);
    QVERIFY(QFile::remove(data.filePath(answers.first())));
    QProcess killed;
    killed.start(program(), { "list", "--server", "--all" });
    QVERIFY(killed.waitForStarted());
    // Part way through, where the list takes long enough to be caught.
    QTest::qWait(300);
    killed.kill();
    QVERIFY(killed.state() == QProcess::NotRunning || killed.waitForFinished());
    const QStringList left = data.entryList({ "GetEvents*" }, QDir::Files | QDir::Hidden);
    QVERIFY2(left.isEmpty() || left == answers, qPrintable(left.join(' ')));
}

void tst_QuorvaneCli::usageErrorsHelpAndVersion()
{
    for (const QStringList &arguments :
         { QStringList(), QStringList { "frobnicate" }, QStringList { "list", "--bogus" },
           QStringList { "list", "--days", "many" }, QStringList { "list", "--from", "2026-02-30" },
           QStringList { "list", "--fields", "title" }, QStringList { "show" },
           QStringList { "rm", "--local", "--server", "x" },
           QStringList { "add", "--access", "nobody", makeFile("a.txt", "a") },
           QStringList { "config", "refresh_days", "soon" },
           QStringList { "config", "server_url", "ftp://x" },
           QStringList { "config", "server_ca_file", "/dev/zero" },
           QStringList { "config", "password", "secret-on-the-command-line" },
           // Names from a glob, escapes and all, are told escaped.
           QStringList { QString::fromUtf8("-\x1b]0;owned\x07") },
           QStringList { "add", QString::fromUtf8("no\x1b[2Jfile") } }) {
        const Run run = quorvane(arguments);
        QVERIFY2(run.exitCode == 1, qPrintable(arguments.join(' ')));
        QVERIFY2(run.err.startsWith("quorvane") && !run.err.contains('\x1b'), run.err.constData());
        QVERIFY(run.out.isEmpty());
    }
    QVERIFY(!sharedSettings().value("password").toByteArray().contains("command-line"));

    const Run help = quorvane({ "--help" });
    RUN_OK(help);
    for (const char *command : { "config", "list", "add-text", "backup", "rm" })
        QVERIFY(help.out.contains(command));
    const Run listHelp = quorvane({ "list", "--help" });
    RUN_OK(listHelp);
    QVERIFY(listHelp.out.contains("--search TEXT") && listHelp.out.contains("--json"));
    const Run version = quorvane({ "--version" });
    RUN_OK(version);
    QVERIFY(version.out.contains("quorvane 1.14") && version.out.contains("Version: 1.14"));
}

void tst_QuorvaneCli::configSharesKeycratesSettings()
{
    RUN_OK(quorvane({ "config", "default_access", "friends" }));
    RUN_OK(quorvane({ "config", "refresh_days", "3" }));
    RUN_OK(quorvane({ "config", "server_timeout", "15" }));
    RUN_OK(quorvane({ "config", "upload_limit_kbps", "0" }));
    // A password with a space and non-ASCII characters, from a pipe.
    const QByteArray password = "p\xC3\xA4ss word";
    useAccount(password);

    QSettings settings = sharedSettings();
    QCOMPARE(settings.value("default_access").toInt(), -2);
    QCOMPARE(settings.value("refresh_days").toInt(), 3);
    QCOMPARE(settings.value("server_timeout").toInt(), 15);
    QCOMPARE(settings.value("password").toByteArray(), password);
    QCOMPARE(settings.value("user").toByteArray(), QByteArray(ReferenceServer::User));
    QCOMPARE(QFile::permissions(settings.fileName()) & 0x0077, QFileDevice::Permissions());
    QCOMPARE(QFile::permissions(QFileInfo(settings.fileName()).path()) & 0x0077,
             QFileDevice::Permissions());

    const Run all = quorvane({ "config" });
    RUN_OK(all);
    QVERIFY(all.out.contains("default_access=friends\n"));
    QVERIFY(all.out.contains("password=********\n"));
    QVERIFY(!all.out.contains("ss word"));
    QCOMPARE(quorvane({ "config", "refresh_days" }).out, QByteArray("3\n"));
    // A relative folder is stored as an absolute one.
    QProcess relative;
    relative.setWorkingDirectory(m_files.path());
    relative.start(program(), { "config", "data_path", "store" });
    QVERIFY(relative.waitForFinished() && relative.exitCode() == 0);
    settings.sync();
    QCOMPARE(settings.value("data_path").toByteArray(),
             QFile::encodeName(m_files.filePath("store")));
    settings.remove("data_path");
    settings.sync();

    RUN_OK(quorvane({ "config", "default_access", "me" }));
    RUN_OK(quorvane({ "config", "refresh_days", "0" }));
    useAccount(ReferenceServer::Password);

    // A settings folder that cannot be made, even by root: a setting that
    // was not written is an error, whoever writes it.
    QProcess unwritable;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", makeFile("plain", "a file") + "/config");
    unwritable.setProcessEnvironment(environment);
    for (const QStringList &arguments :
         { QStringList { "config", "server_url", "http://127.0.0.1:1" },
           QStringList { "config", "refresh_days", "5" }, QStringList { "config", "user", "u" } }) {
        unwritable.start(program(), arguments);
        QVERIFY(unwritable.waitForFinished());
        QCOMPARE(unwritable.exitCode(), 99);
        QVERIFY(unwritable.readAllStandardError().contains("was not saved: cannot write"));
    }
}

void tst_QuorvaneCli::eventsOnBothSides()
{
    const QString path = makeFile("notes/report.txt", "quarterly numbers\n");
    const Run added
        = quorvane({ "add", path, "--title", "Annual TAX return", "--description", "numbers" });
    RUN_OK(added);
    const QString fileId = QString::fromUtf8(added.out.trimmed());
    QCOMPARE(fileId.size(), 36);
    const Run text = quorvane({ "add-text", "Shopping", "milk\nbread" });
    RUN_OK(text);
    const QString textId = QString::fromUtf8(text.out.trimmed());
    QCOMPARE(textId.size(), 36);

    QMap<QString, QJsonObject> events = listed();
    QCOMPARE(events.value(fileId).value("where").toString(), QString("both"));
    QCOMPARE(events.value(fileId).value("path").toString(), path);
    QCOMPARE(events.value(textId).value("description").toString(), QString("milk\nbread"));
    QCOMPARE(events.value(textId).value("kind").toString(), QString("text"));
    // Today's local events, as a table for people.
    const Run table = quorvane({ "list" });
    RUN_OK(table);
    QVERIFY(table.out.startsWith("ID ") && table.out.contains("Annual TAX return")
            && table.out.contains("Shopping"));
    QVERIFY(!table.out.contains("milk"));
    // Days: today is in the last week and from a week ago on, not in 2001.
    QVERIFY(listed({ "--server", "--days", "7" }).contains(fileId));
    const QString weekAgo = QDate::currentDate().addDays(-7).toString(Qt::ISODate);
    QVERIFY(listed({ "--from", weekAgo }).contains(textId));
    QVERIFY(listed({ "--server", "--from", "2001-01-01", "--days", "30" }).isEmpty());
    // Search in names only, any case.
    events = listed({ "--server", "--search", "tax", "--fields", "name" });
    QVERIFY(events.contains(fileId) && !events.contains(textId));
    QVERIFY(listed({ "--search", "BREAD" }).contains(textId));
    // An id's first characters name it as well, as a narrow table shows it.
    const Run shown = quorvane({ "show", fileId.left(8), "--json" });
    RUN_OK(shown);
    QVERIFY(shown.out.contains("\"name\":\"Annual TAX return\""));
    QCOMPARE(quorvane({ "show", "00000000-0000-0000-0000-000000000000" }).exitCode, 99);

    // The desktop's opener is a script here: it notes what it was given.
    const QString opener = makeFile("opener.sh", "#!/bin/sh\nprintf %s \"$1\" > \"$0.seen\"\n");
    QFile::setPermissions(opener, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("KEYCRATE_OPEN_COMMAND", opener.toUtf8());
    RUN_OK(quorvane({ "open", fileId }));
    QFile seen(opener + ".seen");
    QVERIFY(seen.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(seen.readAll()), path);
    qputenv("KEYCRATE_OPEN_COMMAND", "/bin/false");
    QCOMPARE(quorvane({ "open", fileId }).exitCode, 99);
    qunsetenv("KEYCRATE_OPEN_COMMAND");

    // Each side on its own, and back.
    RUN_OK(quorvane({ "rm", "--local", fileId }));
    QCOMPARE(listed().value(fileId).value("where").toString(), QString("server"));
    RUN_OK(quorvane({ "pull", fileId }));
    QCOMPARE(listed().value(fileId).value("where").toString(), QString("both"));
    RUN_OK(quorvane({ "rm", "--server", fileId }));
    QCOMPARE(listed().value(fileId).value("where").toString(), QString("local"));
    RUN_OK(quorvane({ "push", fileId }));
    QCOMPARE(listed().value(fileId).value("where").toString(), QString("both"));

    // sync mends both directions at once.
    RUN_OK(quorvane({ "rm", "--server", fileId }));
    RUN_OK(quorvane({ "rm", "--local", textId }));
    RUN_OK(quorvane({ "sync", fileId, textId }));
    events = listed();
    QCOMPARE(events.value(fileId).value("where").toString(), QString("both"));
    QCOMPARE(events.value(textId).value("where").toString(), QString("both"));

    RUN_OK(quorvane({ "rm", fileId, textId }));
    events = listed();
    QVERIFY(!events.contains(fileId) && !events.contains(textId));
    for (const ReferenceServer::StoredEvent &stored : m_server->events())
        QVERIFY(stored.id != fileId.toUtf8() && stored.id != textId.toUtf8());
    QCOMPARE(quorvane({ "push", fileId }).exitCode, 99);
}

void tst_QuorvaneCli::backupOfAFolder()
{
    for (int i = 0; i < 50; ++i)
        makeFile(QStringLiteral("tree/%1/f%2.txt").arg(i % 3 ? "deep/er" : "top").arg(i),
                 QByteArray::number(i));
    const int before = int(m_server->events().size());
    const Run run = quorvane({ "backup", "--no-snapshot", m_files.filePath("tree") });
    RUN_OK(run);
    QVERIFY2(run.out.contains("sent 50, failed 0, 90 bytes"), run.out.constData());
    QCOMPARE(run.out.count('\t'), 50);
    QCOMPARE(int(m_server->events().size()), before + 50);

    const Run missing = quorvane({ "backup", "--no-snapshot", m_files.filePath("tree/top/f0.txt"),
                                   m_files.filePath("no-such-folder") });
    QCOMPARE(missing.exitCode, 99);
    QVERIFY(missing.out.contains("sent 1, failed 1"));
    QVERIFY(missing.err.contains("no-such-folder: no such file or folder"));

    // Whatever is not sent is told and counted, and a name's line break
    // does not split its line. A name that is no UTF-8 goes with its bytes
    // escaped, and a system file whose size is given as 0 goes whole.
    makeFile("odd/plain.txt", "plain");
    makeFile("odd/new\nline.txt", "two");
    makeFile(QString::fromUtf8("odd/esc\x1b[2J"), "escaped");
    const QByteArray odd = QFile::encodeName(m_files.filePath("odd"));
    {
        QFile latin(QFile::decodeName(odd) + "/x");
        QVERIFY(latin.open(QIODevice::WriteOnly) && latin.write("latin") == 5);
        latin.close();
        QCOMPARE(::rename(odd + "/x", odd + "/caf\xe9.txt"), 0);
    }
    // QDir cannot name it to take it away.
    const auto removeLatin = qScopeGuard([&odd] { ::unlink(odd + "/caf\xe9.txt"); });
    QCOMPARE(::mkfifo(odd + "/pipe", 0600), 0);
    QCOMPARE(::symlink("loop", odd + "/loop"), 0);
    QCOMPARE(::symlink("..", odd + "/up"), 0);
    int failures = 3;
    // root reads any folder.
    if (::geteuid() != 0) {
        makeFile("odd/closed/hidden.txt", "hidden");
        QFile::setPermissions(odd + "/closed", QFileDevice::Permissions());
        ++failures;
    }
    const Run skipped
        = quorvane({ "backup", "--no-snapshot", m_files.filePath("odd"), "/proc/self/status" });
    QFile::setPermissions(odd + "/closed",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QCOMPARE(skipped.exitCode, 99);
    QVERIFY2(skipped.out.contains(QStringLiteral("sent 5, failed %1").arg(failures).toUtf8()),
             skipped.out.constData());
    QCOMPARE(skipped.out.count('\n'), 6);
    QVERIFY(!skipped.out.contains('\x1b') && !skipped.err.contains('\x1b'));
    QVERIFY(skipped.out.contains("/odd/new\\nline.txt\n"));
    for (const char *reason : { "pipe: not a regular file", "loop: a symbolic link, not followed",
                                "up: a symbolic link" })
        QVERIFY2(skipped.err.contains(reason), skipped.err.constData());
    QMap<QByteArray, QByteArray> sentIds;
    for (const QByteArray &line : skipped.out.split('\n')) {
        const int tab = line.indexOf('\t');
        if (tab > 0)
            sentIds.insert(line.mid(tab + 1), line.left(tab));
    }
    QCOMPARE(m_server->download(sentIds.value(odd + "/caf\\xe9.txt")), QByteArray("latin"));
    QVERIFY(m_server->download(sentIds.value("/proc/self/status")).contains("\nPid:"));
    for (const ReferenceServer::StoredEvent &stored : m_server->events()) {
        if (stored.id == sentIds.value(odd + "/caf\\xe9.txt"))
            QCOMPARE(stored.name, QByteArray("File [caf\\xe9.txt]"));
        if (stored.id == sentIds.value(odd + "/esc\\x1b[2J"))
            QCOMPARE(stored.name, QByteArray("File [esc\\x1b[2J]"));
    }
}

// A pipe where a local event's file was, and names with terminal escapes: the
// pipe fails alone and says why, the names travel escaped and come back whole,
// and no escape reaches the terminal.
void tst_QuorvaneCli::unreadableOrOddFilesCostOnlyThemselves()
{
    const auto clean = [](const Run &run) {
        return !run.out.contains('\x1b') && !run.err.contains('\x1b') && !run.err.contains('\x01');
    };
    QStringList ids;
    for (const char *name : { "piped.txt", "plain.txt" }) {
        const Run added = quorvane({ "add", makeFile(name, name) });
        RUN_OK(added);
        ids << QString::fromUtf8(added.out.trimmed());
    }
    RUN_OK(quorvane({ "rm", "--server", ids[0], ids[1] }));
    const QByteArray piped = QFile::encodeName(m_files.filePath("piped.txt"));
    QVERIFY(QFile::remove(QFile::decodeName(piped)) && ::mkfifo(piped, 0600) == 0);
    const Run pushed = quorvane({ "push", ids[0], ids[1] });
    QCOMPARE(pushed.exitCode, 99);
    QVERIFY2(pushed.err.contains("cannot send " + ids[0].toUtf8() + " (piped.txt): Cannot read"),
             pushed.err.constData());
    QCOMPARE(listed().value(ids[1]).value("where").toString(), QString("both"));
    QCOMPARE(listed().value(ids[0]).value("where").toString(), QString("local"));
    // A title of 100 KB, which the server refuses: its reason, not the title.
    const Run long100k = quorvane({ "add-text", QString(100000, 'T'), "text" });
    QCOMPARE(long100k.exitCode, 99);
    QVERIFY2(long100k.err.contains("status 431") && long100k.err.size() < 500,
             long100k.err.left(500).constData());

    // A root and a file too large for a pack, named with control characters.
    const QString root = m_files.filePath(QString::fromUtf8("esc\x1b[31m\nroot"));
    const QString big = root + QString::fromUtf8("/big\x1b]0;owned\x07\x01");
    makeFile(big.mid(m_files.path().size() + 1), QByteArray(600 << 10, 'b'));
    const Run backup = quorvane({ "backup", root });
    RUN_OK(backup);
    QVERIFY2(backup.out.contains("sent 1, unchanged 0, failed 0"), backup.out.constData());
    QVERIFY(clean(backup));
    const QString into = m_files.filePath("restored");
    const Run restored = quorvane({ "restore", "latest", "--to", into });
    RUN_OK(restored);
    QVERIFY(clean(restored));
    QFile back(into + big.mid(m_files.path().size()));
    QVERIFY(back.open(QIODevice::ReadOnly));
    QCOMPARE(back.readAll(), QByteArray(600 << 10, 'b'));
    const Run snapshots = quorvane({ "snapshots" });
    QVERIFY2(snapshots.out.contains("esc\\x1b[31m\\nroot]"), snapshots.out.constData());
}

void tst_QuorvaneCli::refusedLoginAndStoppedServer()
{
    useAccount("wrong");
    const Run refused = quorvane({ "list", "--server" });
    QCOMPARE(refused.exitCode, 100);
    QVERIFY(refused.err.contains("refused the login"));
    QVERIFY(refused.out.isEmpty());
    useAccount(ReferenceServer::Password);

    // TLS to a server that speaks plain HTTP: the library's reason reaches
    // stderr, which is no terminal here.
    QString secure = m_server->url();
    RUN_OK(quorvane({ "config", "server_url", secure.replace("http://", "https://") }));
    const Run tls = quorvane({ "list", "--server" });
    RUN_OK(quorvane({ "config", "server_url", m_server->url() }));
    QCOMPARE(tls.exitCode, 99);
    QVERIFY2(tls.err.contains("No secure connection to the server: "), tls.err.constData());

    QVERIFY(m_server->process().stop());
    const QByteArray url = m_server->url().toUtf8();
    const Run stopped = quorvane({ "list", "--server" });
    QCOMPARE(stopped.exitCode, 99);
    QVERIFY2(stopped.err.contains("cannot connect to the server at " + url),
             stopped.err.constData());
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    RUN_OK(quorvane({ "config", "server_url", m_server->url() }));
}

void tst_QuorvaneCli::interruptDuringALargeUploadLeavesNoHalfEvent()
{
    // Large enough to be in flight when the signal comes; sparse, so cheap.
    const QString path = m_files.filePath("large.bin");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(qint64(1) << 30));
    file.close();

    QProcess process;
    process.start(program(), { "add", path, "--server-only", "--title", "Half" });
    QVERIFY(process.waitForStarted());
    QTest::qWait(300);
    ::kill(pid_t(process.processId()), SIGINT);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 101);
    QVERIFY(process.readAllStandardError().contains("cancelled"));
    QVERIFY(process.readAllStandardOutput().isEmpty());

    for (const QJsonObject &event : listed())
        QVERIFY(event.value("name").toString() != "Half");
    for (const ReferenceServer::StoredEvent &stored : m_server->events())
        QVERIFY(stored.name != "Half");
    // Nor any part of its body, once the server has seen the end of it.
    const auto largest = [&] {
        qint64 size = 0;
        QDirIterator files(m_server->dataFolder(), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext())
            size = qMax(size, QFileInfo(files.next()).size());
        return size;
    };
    QTRY_VERIFY_WITH_TIMEOUT(largest() < (qint64(1) << 20), 10000);
}

// Pulls killed at random moments: each event the store lists has its whole
// copy, nothing is left lying about, and the next sync finishes the work.
void tst_QuorvaneCli::killedPullsLeaveWholeEventsOnly()
{
    QMap<QString, QByteArray> sent;
    for (int i = 0; i < 4; ++i) {
        const QByteArray bytes(200000 + i, char('k' + i));
        const QString path = makeFile(QString("killed/file%1.bin").arg(i), bytes);
        const Run added = quorvane({ "add", path, "--title", QString("Killed %1").arg(i) });
        RUN_OK(added);
        sent.insert(QString::fromUtf8(added.out.trimmed()), bytes);
    }
    const QStringList ids = sent.keys();
    const Run where = quorvane({ "config", "data_path" });
    RUN_OK(where);
    const QString data = QString::fromUtf8(where.out.trimmed());
    // The copies in the store's event folders, by id.
    const auto copies = [&] {
        QMap<QString, QByteArray> found;
        QDirIterator files(data, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QFileInfo file(files.next());
            const QString id = QFileInfo(file.path()).fileName();
            if (sent.contains(id) && !file.fileName().endsWith(".txt")) {
                QFile copy(file.filePath());
                found.insert(id, copy.open(QIODevice::ReadOnly) ? copy.readAll() : "<unread>");
            }
        }
        return found;
    };

    QRandomGenerator random(4711);
    for (int round = 0; round < 10; ++round) {
        QStringList local;
        const QMap<QString, QJsonObject> events = listed({ "--all" });
        for (const QString &id : ids)
            if (events.contains(id))
                local << id;
        if (!local.isEmpty())
            RUN_OK(quorvane(QStringList { "rm", "--local" } + local));
        QProcess killed;
        killed.start(program(), QStringList { "pull" } + ids);
        QVERIFY(killed.waitForStarted());
        ::usleep(random.bounded(300000));
        ::kill(pid_t(killed.processId()), SIGKILL);
        QVERIFY(killed.waitForFinished(60000));

        const QMap<QString, QByteArray> stored = copies();
        const QMap<QString, QJsonObject> after = listed({ "--all" });
        for (const QString &id : ids) {
            QCOMPARE(after.contains(id), stored.contains(id));
            QCOMPARE(stored.value(id, sent.value(id)), sent.value(id));
        }
    }
    RUN_OK(quorvane(QStringList { "sync" } + ids));
    QCOMPARE(copies(), sent);
    const QStringList left
        = QDir(data).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &entry : left)
        QVERIFY2(entry.endsWith(".txt") || entry.toInt() > 1969, qPrintable(entry));

    // A disk that fills up part-way: an error, and no event half there.
    RUN_OK(quorvane({ "rm", "--local", ids.first() }));
    Run full;
    {
        const FileSizeLimit diskFull(100000);
        full = quorvane({ "pull", ids.first() });
    }
    QVERIFY2(full.exitCode != 0 && full.exitCode != -1, full.err.constData());
    QVERIFY(!listed({ "--all" }).contains(ids.first()));
    QVERIFY(!copies().contains(ids.first()));
    RUN_OK(quorvane(QStringList { "rm" } + ids));
}

QTEST_GUILESS_MAIN(tst_QuorvaneCli)
#include "tst_QuorvaneCli.moc"
