#include "KeycrateProcess.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <sys/file.h>
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
    void showBringsTheWindowUp();
    void quitEndsAtOnceWithoutTidyingTheList();

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

QTEST_GUILESS_MAIN(tst_KeycrateSend)
#include "tst_KeycrateSend.moc"
