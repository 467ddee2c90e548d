#include "ApplicationFolder.h"
#include "LockProtectionTexts.h"
#include "LockRegistry.h"
#include "LockdInstance.h"
#include "MessageBoxes.h"
#include "TheManager.h"

#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString Protected = QString::fromLatin1(LockProtectionTexts::Protected);
const QString Advisory = QString::fromLatin1(LockProtectionTexts::Advisory);

// What root meets when it tries to change the file.
bool refusesEveryone(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0)
        ::close(fd);
    return fd < 0 && errno == EPERM && ::unlink(name.constData()) != 0 && errno == EPERM;
}

} // namespace

// keycrate with the real keycrate-lockd: its window in this process, and the
// real program run as a user of its own.
class tst_LockProtection : public QObject
{
    Q_OBJECT

private:
    QString makeFile(const QString &name, bool forUser = true);
    QProcessEnvironment userEnvironment() const;
    // keycrate or keycrate-send as the test's user, from the user's copy.
    void startAsUser(QProcess &process, const QString &program, const QStringList &arguments);
    QString send(const QStringList &arguments);
    bool startKeycrate(QProcess &keycrate);

    QTemporaryDir m_root;
    // Short, as a socket's path must be: below a long test folder keycrate
    // would fall back to /tmp/keycrate-UID, which outlives the test.
    QTemporaryDir m_runtime { QStringLiteral("/tmp/keycrate-test-XXXXXX") };
    std::unique_ptr<LockdInstance> m_service;
    uid_t m_user = 0;
    QString m_home;

private slots:
    void initTestCase();
    void cleanup();
    void cleanupTestCase();
    void filesListTellsHowEachLockHolds();
    void aLockHoldsAgainstEveryoneUntilUnlocked();
    void protectionLastsAsLongAsKeycrate();
};

void tst_LockProtection::initTestCase()
{
    QVERIFY(m_root.isValid());
    QString why;
    if (!LockdInstance::available(m_root.path(), &why))
        QSKIP(qPrintable(why));
    QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
    m_service = std::make_unique<LockdInstance>(m_root.filePath(QStringLiteral("lockd")));
    QVERIFY(QDir().mkpath(m_root.filePath(QStringLiteral("lockd"))));
    QVERIFY2(m_service->start(), qPrintable(m_service->output()));

    // The user's own home, with keycrate and its library copied in so that
    // its lock list is the user's.
    m_user = LockdInstance::unusedUid();
    m_home = m_root.filePath(QStringLiteral("home"));
    for (const char *folder :
         { "", "/config", "/data", "/state", "/cache", "/tmp", "/app", "/Documents" })
        QVERIFY(QDir().mkpath(m_home + QLatin1String(folder)));
    const QString bin = qEnvironmentVariable("KEYCRATE_BIN_DIR");
    for (const char *file : { "keycrate", "keycrate-send", "libQuorvane.so" })
        QVERIFY(QFile::copy(bin + QLatin1Char('/') + QLatin1String(file),
                            m_home + QStringLiteral("/app/") + QLatin1String(file)));
    QProcess chown;
    chown.start(QStringLiteral("chown"),
                { QStringLiteral("-R"), QStringLiteral("%1:%1").arg(m_user), m_home });
    QVERIFY(chown.waitForFinished() && chown.exitCode() == 0);
    QVERIFY(m_runtime.isValid());
    QCOMPARE(::chown(QFile::encodeName(m_runtime.path()).constData(), m_user, m_user), 0);

    setApplicationFolder(m_root.path());
    Platform::MessageBoxes::setAnswerer(
        [](const Platform::MessageBoxes::Box &) { return QMessageBox::Ok; });
}

void tst_LockProtection::cleanup()
{
    ForgetLocks();
    qunsetenv("KEYCRATE_LOCKD_SOCKET");
    LockdInstance::clearImmutable(m_root.path());
}

void tst_LockProtection::cleanupTestCase()
{
    m_service.reset();
    LockdInstance::clearImmutable(m_root.path());
}

QString tst_LockProtection::makeFile(const QString &name, bool forUser)
{
    const QString path = m_home + QStringLiteral("/Documents/") + name;
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write("content\n");
    file.close();
    if (forUser)
        ::chown(QFile::encodeName(path).constData(), m_user, m_user);
    return path;
}

QProcessEnvironment tst_LockProtection::userEnvironment() const
{
    QProcessEnvironment environment;
    for (const char *variable : { "PATH", "LANG", "ASAN_OPTIONS", "UBSAN_OPTIONS" })
        environment.insert(QLatin1String(variable), qEnvironmentVariable(variable));
    environment.insert(QStringLiteral("HOME"), m_home);
    for (const auto &[variable, folder] : { std::pair { "XDG_CONFIG_HOME", "/config" },
                                            { "XDG_DATA_HOME", "/data" },
                                            { "XDG_STATE_HOME", "/state" },
                                            { "XDG_CACHE_HOME", "/cache" },
                                            { "TMPDIR", "/tmp" } })
        environment.insert(QLatin1String(variable), m_home + QLatin1String(folder));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("keycrate.*.info=true"));
    environment.insert(QStringLiteral("KEYCRATE_TEST_ANSWER_BOXES"), QStringLiteral("1"));
    environment.insert(QStringLiteral("KEYCRATE_LOCKD_SOCKET"), m_service->socketPath());
    return environment;
}

void tst_LockProtection::startAsUser(QProcess &process, const QString &program,
                                     const QStringList &arguments)
{
    process.setProcessEnvironment(userEnvironment());
    process.setProcessChannelMode(QProcess::MergedChannels);
    const uid_t user = m_user;
    process.setChildProcessModifier([user] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(user) != 0 || ::setuid(user) != 0)
            ::_exit(126);
        // Set after the change of user, which clears it: a test that dies
        // leaves no keycrate holding locks.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    });
    process.start(m_home + QStringLiteral("/app/") + program, arguments);
}

QString tst_LockProtection::send(const QStringList &arguments)
{
    QProcess sender;
    startAsUser(sender, QStringLiteral("keycrate-send"),
                QStringList { QStringLiteral("--timeout"), QStringLiteral("20") } + arguments);
    if (!sender.waitForFinished(30000))
        sender.kill();
    const QString output = QString::fromLocal8Bit(sender.readAll()).trimmed();
    return sender.exitCode() == 0 ? output : QStringLiteral("failed: ") + output;
}

bool tst_LockProtection::startKeycrate(QProcess &keycrate)
{
    startAsUser(keycrate, QStringLiteral("keycrate"), {});
    return QTest::qWaitFor(
               [&] {
                   keycrate.waitForReadyRead(50);
                   return keycrate.peek(1 << 20).contains("listening at")
                       || keycrate.state() == QProcess::NotRunning;
               },
               20000)
        && keycrate.state() == QProcess::Running;
}

void tst_LockProtection::filesListTellsHowEachLockHolds()
{
    qputenv("KEYCRATE_LOCKD_SOCKET", QFile::encodeName(m_service->socketPath()));
    TheManager window;
    window.show();
    auto *list = window.findChild<QTreeWidget *>(QStringLiteral("treeWidget"));
    const QString path = makeFile(QStringLiteral("shown.txt"), false);

    // From another program: the list shows it without a refresh.
    QCOMPARE(ToggleHandedOver(QFile::encodeName(path)), 0);
    QCOMPARE(list->topLevelItemCount(), 1);
    QTreeWidgetItem *row = list->topLevelItem(0);
    QCOMPARE(row->text(0), QStringLiteral("Locked"));
    QCOMPARE(row->toolTip(1), Protected);
    list->setCurrentItem(row);
    QCOMPARE(window.statusBar()->currentMessage(), Protected);
    QVERIFY(refusesEveryone(path));

    // The service goes: the lock stays, advisory, and the list says so.
    m_service->kill();
    QTRY_COMPARE(list->topLevelItemCount() == 1 ? list->topLevelItem(0)->toolTip(1) : QString(),
                 Advisory);
    QVERIFY(m_service->start());
    // The next service cleared what the killed one left.
    QVERIFY(!LockdInstance::immutable(path));
    // Unlocked from the window: nothing left behind.
    list->topLevelItem(0)->setSelected(true);
    window.ApplyClearTreeWidgetAction();
    QCOMPARE(list->topLevelItemCount(), 0);
    QVERIFY(!LockdInstance::immutable(path));

    // At start the files are handed over without waiting: the window is up
    // at once and tells when they are protected.
    const QByteArray other = QFile::encodeName(makeFile(QStringLiteral("other.txt"), false));
    QCOMPARE(ToggleLock(other), 0);
    ForgetLocks();
    QVERIFY(ReloadLockedFiles());
    window.UpdateLockedList();
    QCOMPARE(list->topLevelItemCount(), 1);
    QTRY_COMPARE(list->topLevelItem(0)->toolTip(0), Protected);
    QVERIFY(refusesEveryone(QFile::decodeName(other)));
    QCOMPARE(ToggleLock(other), 0);
    QVERIFY(!LockdInstance::immutable(QFile::decodeName(other)));

    // Without a service every lock is advisory.
    qputenv("KEYCRATE_LOCKD_SOCKET", QFile::encodeName(m_root.filePath(QStringLiteral("none"))));
    QCOMPARE(ToggleLock(QFile::encodeName(path)), 0);
    window.UpdateLockedList();
    QCOMPARE(list->topLevelItem(0)->toolTip(0), Advisory);
    QVERIFY(!LockdInstance::immutable(path));
}

void tst_LockProtection::aLockHoldsAgainstEveryoneUntilUnlocked()
{
    QProcess keycrate;
    QVERIFY(startKeycrate(keycrate));
    const QString mine = makeFile(QStringLiteral("report.txt"));
    QCOMPARE(send({ QStringLiteral("lock"), mine }), Protected);
    QVERIFY(refusesEveryone(mine));
    // Another user's file: the service refuses, keycrate's own lock stays.
    const QString roots = makeFile(QStringLiteral("roots.txt"), false);
    QCOMPARE(send({ QStringLiteral("lock"), roots }), Advisory);
    QVERIFY(!LockdInstance::immutable(roots));

    QCOMPARE(send({ QStringLiteral("lock"), mine }), QStringLiteral("Unlocked"));
    QVERIFY(!LockdInstance::immutable(mine));
    keycrate.kill();
    keycrate.waitForFinished();
}

void tst_LockProtection::protectionLastsAsLongAsKeycrate()
{
    const QString path = makeFile(QStringLiteral("kept.txt"));
    QProcess keycrate;
    QVERIFY(startKeycrate(keycrate));
    QCOMPARE(send({ QStringLiteral("lock"), path }), Protected);
    keycrate.kill();
    keycrate.waitForFinished();
    QTRY_VERIFY(!LockdInstance::immutable(path));

    // Each start takes the lock again from the list; each end lets it go.
    const std::function<void(QProcess &)> ends[] = {
        [this](QProcess &) { QCOMPARE(send({ QStringLiteral("quit") }), QString()); },
        [](QProcess &process) { ::kill(static_cast<pid_t>(process.processId()), SIGTERM); },
    };
    for (const auto &end : ends) {
        QProcess again;
        QVERIFY(startKeycrate(again));
        // Taken again while the window is already up.
        QTRY_VERIFY(LockdInstance::immutable(path));
        end(again);
        QVERIFY(again.waitForFinished());
        QTRY_VERIFY(!LockdInstance::immutable(path));
    }
}

QTEST_MAIN(tst_LockProtection)
#include "tst_LockProtection.moc"
