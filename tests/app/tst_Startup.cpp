#include "InstanceClient.h"
#include "InstanceServer.h"
#include "KeycrateProcess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/stat.h>

using Platform::InstanceClient;

namespace {

const QString Title = QStringLiteral("Lock my files");
const QString Listening = QStringLiteral("keycrate.instance: listening at");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(content) == content.size();
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void bindingFailuresStopWithTheirBox_data();
    void bindingFailuresStopWithTheirBox();
    void aListThatCannotBeOpenedEndsWith99();
    void onlyAnExactDashSStartsHidden_data();
    void onlyAnExactDashSStartsHidden();
    void helpVersionAndWrongOptionsLeaveTheInstanceAlone();
    void aSecondStartAsksTheFirstToShowItself();
    void twoStartsAtOnceMakeOneInstance();
    void aSecondStartForTheSameListFindsTheFirstWhateverItsEnvironment();
    void aCloseRequestOnlyHidesTheWindow();
    void terminationSignalsEndInOrderAndCompactTheList_data();
    void terminationSignalsEndInOrderAndCompactTheList();
    void endingAtOnceLeavesTheListAsItIs();
    void aKillDuringTheRewriteLeavesTheListWhole();
};

void tst_Startup::bindingFailuresStopWithTheirBox_data()
{
    QTest::addColumn<QString>("library");
    QTest::addColumn<QString>("box");
    QTest::newRow("no library") << QString()
                                << QStringLiteral(
                                       "critical \"Error\" \"Unable to load the Quorvane\\n.\"");
    QTest::newRow("no function") << QStringLiteral("libfake-quorvane-without-function.so")
                                 << QStringLiteral(
                                        "critical \"Error\" \"Unable to resolve the function.\"");
    QTest::newRow("null interface")
        << QStringLiteral("libfake-quorvane-null-interface.so")
        << QStringLiteral("critical \"Error\" \"Unable to resolve the interface pointer.\"");
}

void tst_Startup::bindingFailuresStopWithTheirBox()
{
    QFETCH(QString, library);
    QFETCH(QString, box);
    KeycrateProcess keycrate(library);
    keycrate.start();
    QVERIFY(keycrate.waitForExit());
    QCOMPARE(keycrate.exitStatus(), QProcess::NormalExit);
    QVERIFY(keycrate.exitCode() != 0);
    QVERIFY2(keycrate.output().contains(box), qPrintable(keycrate.output()));
    QVERIFY(!keycrate.output().contains(QStringLiteral("main window shown")));
    QVERIFY2(!QFile::exists(keycrate.listPath()), "nothing is written");
    QVERIFY(!InstanceClient(Title).exists());
}

void tst_Startup::aListThatCannotBeOpenedEndsWith99()
{
    KeycrateProcess keycrate;
    QVERIFY(QDir(keycrate.folder()).mkdir(QStringLiteral("llf")));
    keycrate.start();
    QVERIFY(keycrate.waitForExit());
    QCOMPARE(keycrate.exitCode(), 99);
    QVERIFY(!keycrate.output().contains(QStringLiteral("main window shown")));
}

void tst_Startup::onlyAnExactDashSStartsHidden_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("hidden");
    QTest::newRow("-s") << QStringList { QStringLiteral("-s") } << true;
    QTest::newRow("none") << QStringList() << false;
    QTest::newRow("--s") << QStringList { QStringLiteral("--s") } << false;
    QTest::newRow("-s and more") << QStringList { QStringLiteral("-s"), QStringLiteral("x") }
                                 << false;
}

void tst_Startup::onlyAnExactDashSStartsHidden()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, hidden);
    KeycrateProcess keycrate;
    keycrate.start(arguments);
    QVERIFY(keycrate.waitForOutput(Listening));
    QCOMPARE(keycrate.output().contains(QStringLiteral("started hidden")), hidden);
    QCOMPARE(keycrate.output().contains(QStringLiteral("main window shown")), !hidden);
    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(keycrate.waitForExit());
}

void tst_Startup::helpVersionAndWrongOptionsLeaveTheInstanceAlone()
{
    KeycrateProcess first;
    first.start({ QStringLiteral("-s") });
    QVERIFY(first.waitForOutput(Listening));
    const QString program = KeycrateProcess::binary(QStringLiteral("keycrate"));
    const struct
    {
        QStringList arguments;
        int exitCode;
        QString says;
    } cases[] = {
        { { QStringLiteral("--help") }, 0, QStringLiteral("Usage: keycrate [-s]") },
        { { QStringLiteral("-h") }, 0, QStringLiteral("Usage: keycrate [-s]") },
        { { QStringLiteral("--version") }, 0, QStringLiteral("keycrate 1.") },
        { { QStringLiteral("-S") }, 2, QStringLiteral("Unknown option 'S'") },
        { { QStringLiteral("-s"), QStringLiteral("--frobnicate") },
          2,
          QStringLiteral("Unknown option 'frobnicate'") },
    };
    for (const auto &c : cases) {
        const KeycrateProcess::Run run = KeycrateProcess::run(program, c.arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, c.exitCode);
        QVERIFY2(run.output.contains(c.says), qPrintable(run.output));
    }
    QVERIFY(!first.output().contains(QStringLiteral("message 1046")));
    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(first.waitForExit());
}

void tst_Startup::aSecondStartAsksTheFirstToShowItself()
{
    KeycrateProcess first;
    first.start({ QStringLiteral("-s") });
    QVERIFY(first.waitForOutput(Listening));

    // The second start needs no library: it only hands over.
    QTemporaryDir bare;
    const QString second = bare.filePath(QStringLiteral("keycrate"));
    QVERIFY(QFile::copy(KeycrateProcess::binary(QStringLiteral("keycrate")), second));
    for (const QStringList &arguments : { QStringList { QStringLiteral("-s") }, QStringList() }) {
        const KeycrateProcess::Run run = KeycrateProcess::run(second, arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(!run.output.contains(Listening), qPrintable(run.output));
    }
    QVERIFY(first.waitForOutput(QStringLiteral("main window shown")));
    QVERIFY(first.output().contains(QStringLiteral("message 1046 0 2")));
    QVERIFY(!QFile::exists(bare.filePath(QStringLiteral("llf"))));

    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(first.waitForExit());
}

void tst_Startup::twoStartsAtOnceMakeOneInstance()
{
    KeycrateProcess first;
    KeycrateProcess second;
    first.start({ QStringLiteral("-s") });
    second.start({ QStringLiteral("-s") });
    // One hands over to the other and ends with 0.
    const QDeadlineTimer deadline(20000);
    while (first.waitForExit(0) == second.waitForExit(0) && !deadline.hasExpired())
        QTest::qWait(20);
    KeycrateProcess &ended = first.waitForExit(0) ? first : second;
    KeycrateProcess &instance = first.waitForExit(0) ? second : first;
    QVERIFY(ended.waitForExit(0));
    QCOMPARE(ended.exitCode(), 0);
    QVERIFY(!ended.output().contains(Listening));
    QVERIFY(instance.waitForOutput(QStringLiteral("message 1046 0 2")));
    QVERIFY(!instance.waitForExit(0));
    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(instance.waitForExit());
}

void tst_Startup::aSecondStartForTheSameListFindsTheFirstWhateverItsEnvironment()
{
    QTemporaryDir runtime(QStringLiteral("/tmp/kc-XXXXXX"));
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    KeycrateProcess first;
    qputenv("XDG_RUNTIME_DIR", saved);
    first.start({ QStringLiteral("-s") });
    QVERIFY(first.waitForOutput(Listening));
    QVERIFY(first.output().contains(runtime.path()));

    QProcessEnvironment withoutRuntime = KeycrateProcess::environment();
    withoutRuntime.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcessEnvironment otherSettings = KeycrateProcess::environment();
    otherSettings.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    otherSettings.insert(QStringLiteral("XDG_CONFIG_HOME"), runtime.filePath(QStringLiteral("c")));
    for (const QProcessEnvironment &environment : { withoutRuntime, otherSettings }) {
        QProcess second;
        second.setProcessEnvironment(environment);
        second.setProcessChannelMode(QProcess::MergedChannels);
        second.start(first.program(), { QStringLiteral("-s") });
        const bool ended = second.waitForFinished(8000);
        if (!ended)
            second.kill();
        QVERIFY2(ended, "a second start for the same list must end");
        QCOMPARE(second.exitCode(), 0);
        QVERIFY(!QString::fromLocal8Bit(second.readAll()).contains(Listening));
    }
    QTRY_COMPARE(first.output().count(QStringLiteral("message 1046 0 2")), 2);

    const InstanceClient owner = InstanceClient::atSocket(
        Platform::InstanceServer::ownerSocket(first.listPath() + QStringLiteral(".lock")));
    QCOMPARE(owner.post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(first.waitForExit());
}

void tst_Startup::aCloseRequestOnlyHidesTheWindow()
{
    KeycrateProcess keycrate;
    keycrate.start();
    QVERIFY(keycrate.waitForOutput(Listening));
    qint64 result = -1;
    bool handled = false;
    QCOMPARE(InstanceClient(Title).send({ 16, 0, 0 }, &result, &handled, 5000),
             InstanceClient::Outcome::Delivered);
    QVERIFY(handled);
    QCOMPARE(result, qint64(0));
    QVERIFY(keycrate.waitForOutput(QStringLiteral("main window hidden")));
    // Still there, and not a message it does not know.
    QCOMPARE(InstanceClient(Title).send({ 1046, 0, 3 }, &result, &handled, 5000),
             InstanceClient::Outcome::Delivered);
    QVERIFY(!handled);
    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(keycrate.waitForExit());
}

void tst_Startup::terminationSignalsEndInOrderAndCompactTheList_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
}

void tst_Startup::terminationSignalsEndInOrderAndCompactTheList()
{
    QFETCH(int, signalNumber);
    KeycrateProcess keycrate;
    const QString file = keycrate.folder() + QStringLiteral("/locked.txt");
    QVERIFY(writeFile(file, "x"));
    const QByteArray line = QFile::encodeName(file) + '\n';
    QVERIFY(writeFile(keycrate.listPath(), line + line + line));
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));

    QCOMPARE(::kill(pid_t(keycrate.processId()), signalNumber), 0);
    QVERIFY(keycrate.waitForExit());
    QCOMPARE(keycrate.exitStatus(), QProcess::NormalExit);
    QCOMPARE(keycrate.exitCode(), 0);
    QCOMPARE(readFile(keycrate.listPath()), line);
    QVERIFY(!InstanceClient(Title).exists());
    QVERIFY2(!KeycrateProcess::publishedList(), "the published list goes with the process");
}

void tst_Startup::endingAtOnceLeavesTheListAsItIs()
{
    KeycrateProcess keycrate;
    const QString file = keycrate.folder() + QStringLiteral("/locked.txt");
    QVERIFY(writeFile(file, "x"));
    const QByteArray line = QFile::encodeName(file) + '\n';
    QVERIFY(writeFile(keycrate.listPath(), line + line));
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QCOMPARE(KeycrateProcess::publishedList(), std::optional<QByteArray>(line + line));

    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(keycrate.waitForExit());
    QCOMPARE(keycrate.exitCode(), 0);
    QCOMPARE(readFile(keycrate.listPath()), line + line);
    QVERIFY(!InstanceClient(Title).exists());
    QVERIFY(!KeycrateProcess::publishedList());

    // The next start takes over at once.
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening, 5000));
    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(keycrate.waitForExit());
}

void tst_Startup::aKillDuringTheRewriteLeavesTheListWhole()
{
    KeycrateProcess keycrate;
    // Each line twice, so that the compaction writes a long list anew.
    QByteArray compacted;
    for (int i = 0; i < 60000; ++i)
        compacted += QFile::encodeName(keycrate.folder()) + "/gone-" + QByteArray::number(i) + '\n';
    const QByteArray listed = compacted + compacted;
    QVERIFY(writeFile(keycrate.listPath(), listed));
    // The orderly end compacts the list; a kill as soon as the list's file
    // changes finds an in-place rewrite half done.
    const QByteArray path = QFile::encodeName(keycrate.listPath());
    for (int round = 0; round < 2; ++round) {
        keycrate.start({ QStringLiteral("-s") });
        QVERIFY(keycrate.waitForOutput(Listening));
        const pid_t pid = pid_t(keycrate.processId());
        QCOMPARE(::kill(pid, SIGTERM), 0);
        struct stat info = {};
        const QDeadlineTimer deadline(5000);
        while (::stat(path.constData(), &info) == 0 && info.st_size == listed.size()
               && !deadline.hasExpired()) { }
        ::kill(pid, SIGKILL);
        QVERIFY(keycrate.waitForExit());
        const QByteArray after = readFile(keycrate.listPath());
        QVERIFY2(after == listed || after == compacted, qPrintable(QString::number(after.size())));
        const QStringList left
            = QDir(QFileInfo(keycrate.listPath()).path())
                  .entryList({ QStringLiteral("llf*") }, QDir::Files | QDir::Hidden);
        QVERIFY2(left.size() <= 2, qPrintable(left.join(' ')));
        QVERIFY(writeFile(keycrate.listPath(), listed));
    }
    // The next start takes over what the killed one left.
    keycrate.start({ QStringLiteral("-s") });
    QVERIFY(keycrate.waitForOutput(Listening));
    QCOMPARE(InstanceClient(Title).post({ 1045, 0, 0 }), InstanceClient::Outcome::Delivered);
    QVERIFY(keycrate.waitForExit());
    QVERIFY(!KeycrateProcess::publishedList());
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_Startup.moc"
