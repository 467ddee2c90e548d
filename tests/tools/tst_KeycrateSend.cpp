#include "HandOverSetting.h"
#include "InstanceClient.h"
#include "InstanceServer.h"
#include "KeycrateProcess.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Listening = QStringLiteral("keycrate.instance: listening at");

KeycrateProcess::Run send(const QStringList &arguments, const QString &workingFolder = {})
{
    return KeycrateProcess::run(KeycrateProcess::binary(QStringLiteral("keycrate-send")), arguments,
                                workingFolder);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

QList<QByteArray> sortedLines(const QByteArray &content)
{
    QList<QByteArray> lines = content.split('\n');
    if (lines.last().isEmpty())
        lines.removeLast();
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Another program's exclusive lock, which keycrate's shared one cannot join.
int lockExclusively(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A hand-over as another program would send it, with the path on the
// message or, when empty, in the setting alone.
qint64 handOverDirectly(const QByteArray &path)
{
    qint64 result = -1;
    bool handled = false;
    const auto outcome = Platform::InstanceClient(QStringLiteral("Lock my files"))
                             .send({ 1046, 0, 0, path }, &result, &handled, 10000);
    return outcome == Platform::InstanceClient::Outcome::Delivered && handled ? result : -1;
}

} // namespace

class tst_KeycrateSend : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void withoutKeycrateEverythingSaysSo();
    void wrongUsageAndMissingFiles();
    void locksListsAndUnlocksInTheRunningKeycrate();
    void aLockThatFailsExitsWith99();
    void aKeycrateWithTooManyWaitingSaysSo();
    void showBringsTheWindowUp();
    void quitEndsAtOnceWithoutTidyingTheList();
    void concurrentSendersEachLockTheirOwnFile();
    void onlyTheCheckedRegularFileIsHandedOver();
    void aNameWithALineFeedIsRefused();
    void listSpeaksOnlyForARunningKeycrate();

private:
    QString makeFile(const QString &name);

    std::unique_ptr<QTemporaryDir> m_files;
};

void tst_KeycrateSend::init()
{
    m_files = std::make_unique<QTemporaryDir>();
}

QString tst_KeycrateSend::makeFile(const QString &name)
{
    QFile file(m_files->filePath(name));
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return file.fileName();
}

void tst_KeycrateSend::withoutKeycrateEverythingSaysSo()
{
    const QString file = makeFile(QStringLiteral("a.txt"));
    for (const QStringList &arguments :
         { QStringList { QStringLiteral("list") }, QStringList { QStringLiteral("show") },
           QStringList { QStringLiteral("quit") }, QStringList { QStringLiteral("lock"), file },
           QStringList { QStringLiteral("upload"), file } }) {
        const KeycrateProcess::Run run = send(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        QVERIFY2(run.output.contains(QStringLiteral("keycrate is not running")),
                 qPrintable(run.output));
    }
}

void tst_KeycrateSend::wrongUsageAndMissingFiles()
{
    for (const QStringList &arguments :
         { QStringList(), QStringList { QStringLiteral("lock") },
           QStringList { QStringLiteral("frobnicate") },
           QStringList { QStringLiteral("list"), QStringLiteral("extra") },
           QStringList { QStringLiteral("--timeout"), QStringLiteral("soon"),
                         QStringLiteral("list") },
           QStringList { QStringLiteral("--frobnicate"), QStringLiteral("list") } }) {
        const KeycrateProcess::Run run = send(arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 2);
    }
    const KeycrateProcess::Run help = send({ QStringLiteral("--help") });
    QCOMPARE(help.exitCode, 0);
    QVERIFY(help.output.contains(QStringLiteral("Usage: keycrate-send")));
    const KeycrateProcess::Run version = send({ QStringLiteral("--version") });
    QCOMPARE(version.exitCode, 0);
    QVERIFY(version.output.startsWith(QStringLiteral("keycrate-send 1.")));

    for (const QString &command : { QStringLiteral("lock"), QStringLiteral("upload") }) {
        const KeycrateProcess::Run missing
            = send({ command, m_files->filePath(QStringLiteral("none")) });
        QCOMPARE(missing.exitCode, 4);
        QVERIFY(missing.output.contains(QStringLiteral("no such file")));
        const KeycrateProcess::Run folder = send({ command, m_files->path() });
        QCOMPARE(folder.exitCode, 4);
        QVERIFY(folder.output.contains(QStringLiteral("not a regular file")));
    }
}

void tst_KeycrateSend::locksListsAndUnlocksInTheRunningKeycrate()
{
    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    const QString a = makeFile(QStringLiteral("a.txt"));
    const QString b = makeFile(QStringLiteral("b b.txt"));
    const QByteArray lineA = QFile::encodeName(a) + '\n';
    const QByteArray lineB = QFile::encodeName(b) + '\n';

    KeycrateProcess::Run run = send({ QStringLiteral("list") });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output, QString());

    // A relative path is taken from where the command runs.
    run = send({ QStringLiteral("lock"), QStringLiteral("a.txt") }, m_files->path());
    QCOMPARE(run.exitCode, 0);
    QVERIFY(
        keycrate.waitForOutput(QStringLiteral("system \"KEYCRATE\" \"Operation successful!\"")));
    QCOMPARE(readFile(keycrate.listPath()), lineA);
    QCOMPARE(send({ QStringLiteral("lock"), b }).exitCode, 0);
    QCOMPARE(readFile(keycrate.listPath()), lineA + lineB);

    run = send({ QStringLiteral("list") });
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.output.toLocal8Bit(), lineA + lineB);

    QCOMPARE(send({ QStringLiteral("lock"), a }).exitCode, 0);
    QCOMPARE(readFile(keycrate.listPath()), lineB);
    QCOMPARE(send({ QStringLiteral("list") }).output.toLocal8Bit(), lineB);
    QCOMPARE(keycrate.output().count(QStringLiteral("Operation successful!")), 3);
}

void tst_KeycrateSend::aKeycrateWithTooManyWaitingSaysSo()
{
    // Standing in for a keycrate whose boxes already hold all it takes.
    Platform::InstanceServer busy(QStringLiteral("Lock my files"));
    QCOMPARE(busy.claim(), Platform::InstanceServer::Claim::Claimed);
    QVERIFY(busy.listen());
    busy.setMaxWaiting(0);
    const QString file = makeFile(QStringLiteral("a.txt"));
    KeycrateProcess::Run run { false, -1, {} };
    std::unique_ptr<QThread> sender(QThread::create([&] {
        run = send({ QStringLiteral("lock"), file });
    }));
    sender->start();
    QVERIFY(QTest::qWaitFor([&] { return sender->isFinished(); }, 15000));
    QCOMPARE(run.exitCode, 5);
    QVERIFY2(run.output.contains(QStringLiteral("too many requests waiting")),
             qPrintable(run.output));
}

void tst_KeycrateSend::aLockThatFailsExitsWith99()
{
    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    const QString held = makeFile(QStringLiteral("held.txt"));
    // Another program holds it exclusively.
    const int other = ::open(QFile::encodeName(held).constData(), O_RDONLY);
    QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
    const KeycrateProcess::Run run = send({ QStringLiteral("lock"), held });
    ::close(other);
    QCOMPARE(run.exitCode, 99);
    QVERIFY(run.output.contains(QStringLiteral("could not lock or unlock")));
    QVERIFY(keycrate.waitForOutput(
        QStringLiteral("system-error \"Error\" \"Error locking/unlocking file!\"")));
    QCOMPARE(readFile(keycrate.listPath()), QByteArray());
    QCOMPARE(send({ QStringLiteral("list") }).output, QString());

    // Once free it locks.
    QCOMPARE(send({ QStringLiteral("lock"), held }).exitCode, 0);
}

void tst_KeycrateSend::showBringsTheWindowUp()
{
    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QVERIFY(!keycrate.output().contains(QStringLiteral("main window shown")));
    QCOMPARE(send({ QStringLiteral("show") }).exitCode, 0);
    QVERIFY(keycrate.waitForOutput(QStringLiteral("main window shown")));
}

void tst_KeycrateSend::quitEndsAtOnceWithoutTidyingTheList()
{
    KeycrateProcess keycrate;
    const QString a = makeFile(QStringLiteral("a.txt"));
    const QByteArray line = QFile::encodeName(a) + '\n';
    QFile list(keycrate.listPath());
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write(line + line);
    list.close();
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QCOMPARE(send({ QStringLiteral("list") }).output.toLocal8Bit(), line + line);

    const KeycrateProcess::Run run = send({ QStringLiteral("quit") });
    QCOMPARE(run.exitCode, 0);
    QVERIFY(keycrate.waitForExit(5000));
    QCOMPARE(keycrate.exitCode(), 0);
    QCOMPARE(readFile(keycrate.listPath()), line + line);
    QCOMPARE(send({ QStringLiteral("list") }).exitCode, 3);
}

void tst_KeycrateSend::concurrentSendersEachLockTheirOwnFile()
{
    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    // Unreadable for a user; for root, held by another program.
    const QString refused = makeFile(QStringLiteral("refused.txt"));
    QVERIFY(QFile::setPermissions(refused, {}));
    const int holder = lockExclusively(refused);
    QVERIFY(holder >= 0);

    constexpr int Senders = 24;
    constexpr int Refused = 7;
    QList<QByteArray> expected;
    std::vector<std::unique_ptr<QProcess>> senders;
    for (int index = 0; index < Senders; ++index) {
        const QString file = index == Refused
            ? refused
            : makeFile(QStringLiteral("file %1.txt").arg(index, 2, 10, QLatin1Char('0')));
        if (index != Refused)
            expected.append(QFile::encodeName(file));
        senders.push_back(std::make_unique<QProcess>());
        senders.back()->setProcessEnvironment(KeycrateProcess::environment());
        senders.back()->start(KeycrateProcess::binary(QStringLiteral("keycrate-send")),
                              { QStringLiteral("lock"), file });
    }
    for (int index = 0; index < Senders; ++index) {
        QVERIFY(senders[index]->waitForFinished(30000));
        QCOMPARE(senders[index]->exitCode(), index == Refused ? 99 : 0);
    }
    ::close(holder);
    std::sort(expected.begin(), expected.end());
    QCOMPARE(sortedLines(readFile(keycrate.listPath())), expected);
    QCOMPARE(sortedLines(KeycrateProcess::publishedList().value_or("<none>")), expected);
    QCOMPARE(keycrate.output().count(QStringLiteral("Operation successful!")), Senders - 1);
    QCOMPARE(keycrate.output().count(QStringLiteral("Error locking/unlocking file!")), 1);
}

void tst_KeycrateSend::onlyTheCheckedRegularFileIsHandedOver()
{
    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    // link/../x.txt is real/x.txt to the kernel; cleaned as text it would
    // name the FIFO beside the link.
    QVERIFY(QDir(m_files->path()).mkpath(QStringLiteral("real/inner")));
    makeFile(QStringLiteral("real/x.txt"));
    QVERIFY(QFile::link(m_files->filePath(QStringLiteral("real/inner")),
                        m_files->filePath(QStringLiteral("link"))));
    const QByteArray fifo = QFile::encodeName(m_files->filePath(QStringLiteral("x.txt")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);

    KeycrateProcess::Run run = send({ QStringLiteral("--timeout"), QStringLiteral("10"),
                                      QStringLiteral("lock"), QStringLiteral("link/../x.txt") },
                                    m_files->path());
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(readFile(keycrate.listPath()),
             QFile::encodeName(m_files->filePath(QStringLiteral("link/../x.txt"))) + '\n');
    QVERIFY(send({ QStringLiteral("lock"), QFile::decodeName(fifo) })
                .output.contains(QStringLiteral("not a regular file")));

    // keycrate itself refuses at once what is no regular file, however it
    // is named: on the message, or in the setting alone.
    QCOMPARE(handOverDirectly(fifo), qint64(99));
    QCOMPARE(handOverDirectly("/dev/zero"), qint64(99));
    QVERIFY(Platform::HandOverSetting::write(fifo));
    QCOMPARE(handOverDirectly({}), qint64(99));
    QCOMPARE(send({ QStringLiteral("show") }).exitCode, 0);
}

void tst_KeycrateSend::aNameWithALineFeedIsRefused()
{
    KeycrateProcess keycrate;
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    const KeycrateProcess::Run run
        = send({ QStringLiteral("lock"), makeFile(QStringLiteral("line\nfeed.txt")) });
    QCOMPARE(run.exitCode, 99);
    QVERIFY2(run.output.contains(QStringLiteral("line feed")), qPrintable(run.output));
    QVERIFY(keycrate.waitForOutput(QStringLiteral("Error locking/unlocking file!")));
    QCOMPARE(readFile(keycrate.listPath()), QByteArray());
}

void tst_KeycrateSend::listSpeaksOnlyForARunningKeycrate()
{
    KeycrateProcess keycrate;
    const QByteArray line = QFile::encodeName(makeFile(QStringLiteral("a.txt"))) + '\n';
    QFile list(keycrate.listPath());
    QVERIFY(list.open(QIODevice::WriteOnly));
    list.write(line);
    list.close();
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QCOMPARE(send({ QStringLiteral("list") }).output.toLocal8Bit(), line);

    QCOMPARE(::kill(pid_t(keycrate.processId()), SIGKILL), 0);
    QVERIFY(keycrate.waitForExit());
    const KeycrateProcess::Run run = send({ QStringLiteral("list") });
    QCOMPARE(run.exitCode, 3);
    QVERIFY(run.output.contains(QStringLiteral("keycrate is not running")));

    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QCOMPARE(send({ QStringLiteral("list") }).output.toLocal8Bit(), line);
}

QTEST_GUILESS_MAIN(tst_KeycrateSend)
#include "tst_KeycrateSend.moc"
