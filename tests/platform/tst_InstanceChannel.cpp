#include "InstanceAddress.h"
#include "InstanceClient.h"
#include "InstanceServer.h"
#include "MessageFrame.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using Platform::InstanceClient;
using Platform::InstanceServer;
using Platform::MessageFrame;
using Platform::WindowMessage;

namespace {

const QString Title = QStringLiteral("Channel test");

// Runs blocking client code on a thread of its own while this thread's event
// loop serves it, as another process would.
bool runClient(const std::function<void()> &client, int timeoutMs = 10000)
{
    std::unique_ptr<QThread> thread(QThread::create(client));
    thread->start();
    const QDeadlineTimer deadline(timeoutMs);
    while (!thread->isFinished() && !deadline.hasExpired())
        QTest::qWait(5);
    if (!thread->wait(QDeadlineTimer(1000))) {
        thread->terminate();
        thread->wait();
        return false;
    }
    return true;
}

// Writes raw bytes as a client that does not follow the format; true when
// the server then closed the connection.
bool serverHangsUp(const QByteArray &bytes)
{
    bool closed = false;
    const bool finished = runClient([&] {
        QLocalSocket socket;
        socket.connectToServer(Platform::InstanceAddress(Title).socketPath());
        if (!socket.waitForConnected(2000))
            return;
        socket.write(bytes);
        while (socket.bytesToWrite() > 0 && socket.waitForBytesWritten(2000)) { }
        const QDeadlineTimer deadline(5000);
        while (socket.state() == QLocalSocket::ConnectedState && !deadline.hasExpired()) {
            if (socket.waitForReadyRead(100))
                socket.readAll();
        }
        closed = socket.state() != QLocalSocket::ConnectedState;
    });
    return finished && closed;
}

} // namespace

class tst_InstanceChannel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void onlyOneProcessCanClaimATitle();
    void takesOverFromAnInstanceThatDied();
    void postReachesTheFilterOnItsThread();
    void sendReturnsTheFilterResult();
    void withoutAnInstanceNothingIsDelivered();
    void dropsMalformedAndOversizedInput_data();
    void dropsMalformedAndOversizedInput();
    void assemblesARequestThatArrivesByteByByte();
    void dropsAClientThatStaysSilent();
    void servesOthersWhileAFilterRunsAModalLoop();
    void refusesRequestsBeyondTheWaitingBound();
    void survivesASenderThatGivesUpWaiting();
    void addressIsPrivateAndFollowsTheSettings();
    void aFolderOpenToOthersIsRefused();
    void theSocketFitsWhateverTheRuntimeFolder();
    void theOwnerLockMakesOneInstanceWhateverTheEnvironment();
    void anotherUsersRequestIsRefused();

private:
    struct Seen
    {
        WindowMessage message;
        QThread *thread;
    };

    std::unique_ptr<InstanceServer> m_server;
    QList<Seen> m_seen;
};

void tst_InstanceChannel::init()
{
    m_seen.clear();
    m_server = std::make_unique<InstanceServer>(Title);
    QCOMPARE(m_server->claim(), InstanceServer::Claim::Claimed);
    QVERIFY2(m_server->listen(), qPrintable(m_server->errorString()));
    m_server->setFilter([this](const WindowMessage &message, qint64 *result) {
        m_seen.append({ message, QThread::currentThread() });
        *result = qint64(message.wParam) * 2;
        return message.lParam != 0;
    });
}

void tst_InstanceChannel::cleanup()
{
    m_server.reset();
}

void tst_InstanceChannel::onlyOneProcessCanClaimATitle()
{
    InstanceServer second(Title);
    QCOMPARE(second.claim(), InstanceServer::Claim::HeldElsewhere);
    QVERIFY(!second.listen());

    InstanceServer other(QStringLiteral("Another title"));
    QCOMPARE(other.claim(), InstanceServer::Claim::Claimed);

    m_server.reset();
    QCOMPARE(second.claim(), InstanceServer::Claim::Claimed);
    QVERIFY(second.listen());
}

void tst_InstanceChannel::takesOverFromAnInstanceThatDied()
{
    m_server.reset();
    // A child claims the title, listens and dies without cleaning up.
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), { QStringLiteral("--claim-and-die") });
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitCode(), 0);
    const Platform::InstanceAddress address(Title);
    QVERIFY(QFileInfo::exists(address.lockPath()));
    QVERIFY(QFileInfo::exists(address.socketPath()));
    QVERIFY(!InstanceClient(Title).exists());

    init();
    QVERIFY(InstanceClient(Title).exists());
    QCOMPARE(InstanceClient(Title).post({ 7, 0, 1 }), InstanceClient::Outcome::Delivered);
    QTRY_COMPARE(m_seen.size(), 1);
}

void tst_InstanceChannel::postReachesTheFilterOnItsThread()
{
    const WindowMessage message { 1046, 0xFFFFFFFFFFFFFFFF, -5 };
    QCOMPARE(InstanceClient(Title).post(message), InstanceClient::Outcome::Delivered);
    QTRY_COMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen.at(0).message.message, message.message);
    QCOMPARE(m_seen.at(0).message.wParam, message.wParam);
    QCOMPARE(m_seen.at(0).message.lParam, message.lParam);
    QCOMPARE(m_seen.at(0).thread, QThread::currentThread());
}

void tst_InstanceChannel::sendReturnsTheFilterResult()
{
    InstanceClient::Outcome outcome = InstanceClient::Outcome::NoAnswer;
    qint64 result = 0;
    bool handled = false;
    QVERIFY(runClient([&] {
        outcome = InstanceClient(Title).send({ 1046, 21, 1 }, &result, &handled, 5000);
    }));
    QCOMPARE(outcome, InstanceClient::Outcome::Delivered);
    QVERIFY(handled);
    QCOMPARE(result, qint64(42));

    // A message the filter leaves alone is answered as not handled.
    QVERIFY(runClient([&] {
        outcome = InstanceClient(Title).send({ 1046, 3, 0 }, &result, &handled, 5000);
    }));
    QCOMPARE(outcome, InstanceClient::Outcome::Delivered);
    QVERIFY(!handled);
    QCOMPARE(m_seen.size(), 2);
}

void tst_InstanceChannel::withoutAnInstanceNothingIsDelivered()
{
    const InstanceClient other(QStringLiteral("Nobody has this title"));
    qint64 result = 0;
    bool handled = false;
    QVERIFY(!other.exists());
    QCOMPARE(other.post({ 1046, 0, 2 }), InstanceClient::Outcome::NoInstance);
    QCOMPARE(other.send({ 1046, 0, 2 }, &result, &handled, 1000),
             InstanceClient::Outcome::NoInstance);

    m_server->close();
    QVERIFY(!InstanceClient(Title).exists());
    QCOMPARE(InstanceClient(Title).post({ 1046, 0, 2 }), InstanceClient::Outcome::NoInstance);
}

void tst_InstanceChannel::dropsMalformedAndOversizedInput_data()
{
    const QByteArray valid = MessageFrame::encodeRequest(MessageFrame::Mode::Post, { 1, 2, 3 });
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("garbage") << QByteArray("hello, keycrate\n");
    QTest::newRow("one megabyte") << QByteArray(1 << 20, 'k');
    QByteArray versionTwo = valid;
    versionTwo[3] = 2;
    QTest::newRow("version 2") << versionTwo;
    QTest::newRow("frame and trailing bytes") << valid + QByteArray(100, '\0');
}

void tst_InstanceChannel::dropsMalformedAndOversizedInput()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(serverHangsUp(bytes));
    QTest::qWait(50);
    QVERIFY(m_seen.isEmpty());
    // The server goes on serving.
    QCOMPARE(InstanceClient(Title).post({ 1046, 0, 2 }), InstanceClient::Outcome::Delivered);
    QTRY_COMPARE(m_seen.size(), 1);
}

void tst_InstanceChannel::assemblesARequestThatArrivesByteByByte()
{
    const QByteArray frame = MessageFrame::encodeRequest(MessageFrame::Mode::Send, { 1046, 4, 1 });
    QByteArray reply;
    QVERIFY(runClient([&] {
        QLocalSocket socket;
        socket.connectToServer(Platform::InstanceAddress(Title).socketPath());
        if (!socket.waitForConnected(2000))
            return;
        for (const char byte : frame) {
            socket.write(&byte, 1);
            socket.waitForBytesWritten(1000);
            QThread::msleep(2);
        }
        while (reply.size() < MessageFrame::ReplySize && socket.waitForReadyRead(5000))
            reply += socket.readAll();
    }));
    QCOMPARE(m_seen.size(), 1);
    bool handled = false;
    qint64 result = 0;
    QCOMPARE(MessageFrame::decodeReply(reply, &handled, &result), MessageFrame::Status::Complete);
    QVERIFY(handled);
    QCOMPARE(result, qint64(8));
}

void tst_InstanceChannel::dropsAClientThatStaysSilent()
{
    m_server->setReadTimeout(200);
    const QByteArray frame = MessageFrame::encodeRequest(MessageFrame::Mode::Post, { 1, 2, 3 });
    QVERIFY(serverHangsUp(frame.left(10)));
    QVERIFY(m_seen.isEmpty());
}

void tst_InstanceChannel::servesOthersWhileAFilterRunsAModalLoop()
{
    QEventLoop *modal = nullptr;
    std::atomic<bool> modalRunning = false;
    bool secondSeenInsideFirst = false;
    m_server->setFilter([&](const WindowMessage &message, qint64 *result) {
        if (message.message == 1) {
            QEventLoop loop;
            modal = &loop;
            modalRunning = true;
            QTimer::singleShot(5000, &loop, &QEventLoop::quit);
            loop.exec();
            modal = nullptr;
            *result = 99;
        } else {
            secondSeenInsideFirst = modal != nullptr;
            if (modal)
                modal->quit();
        }
        return true;
    });

    qint64 result = 0;
    bool handled = false;
    InstanceClient::Outcome second = InstanceClient::Outcome::NoAnswer;
    std::unique_ptr<QThread> other(QThread::create([&] {
        const QDeadlineTimer deadline(5000);
        while (!modalRunning && !deadline.hasExpired())
            QThread::msleep(1);
        second = InstanceClient(Title).post({ 2, 0, 0 });
    }));
    other->start();
    QVERIFY(runClient([&] { InstanceClient(Title).send({ 1, 0, 0 }, &result, &handled, 10000); }));
    QVERIFY(other->wait(QDeadlineTimer(5000)));
    QCOMPARE(second, InstanceClient::Outcome::Delivered);
    QVERIFY(secondSeenInsideFirst);
    QVERIFY(handled);
    QCOMPARE(result, qint64(99));
}

void tst_InstanceChannel::refusesRequestsBeyondTheWaitingBound()
{
    // The first request waits in a modal loop; the bound is that one.
    m_server->setMaxWaiting(1);
    std::atomic<bool> waiting = false;
    std::atomic<bool> release = false;
    m_server->setFilter([&](const WindowMessage &message, qint64 *result) {
        waiting = message.message == 1;
        const QDeadlineTimer deadline(10000);
        while (waiting && !release && !deadline.hasExpired())
            QTest::qWait(5);
        *result = message.message;
        return true;
    });
    qint64 result = 0;
    bool handled = false;
    InstanceClient::Outcome refused = InstanceClient::Outcome::NoAnswer;
    std::unique_ptr<QThread> other(QThread::create([&] {
        const QDeadlineTimer deadline(5000);
        while (!waiting && !deadline.hasExpired())
            QThread::msleep(1);
        qint64 otherResult = 0;
        bool otherHandled = true;
        refused = InstanceClient(Title).send({ 2, 0, 0 }, &otherResult, &otherHandled, 5000);
        release = true;
    }));
    other->start();
    QVERIFY(runClient([&] { InstanceClient(Title).send({ 1, 0, 0 }, &result, &handled, 10000); }));
    QVERIFY(other->wait(QDeadlineTimer(5000)));
    QCOMPARE(refused, InstanceClient::Outcome::Busy);
    QVERIFY(handled);
    QCOMPARE(result, qint64(1));

    // Answered, it makes room again.
    InstanceClient::Outcome outcome = InstanceClient::Outcome::NoAnswer;
    QVERIFY(runClient([&] {
        outcome = InstanceClient(Title).send({ 3, 0, 0 }, &result, &handled, 5000);
    }));
    QCOMPARE(outcome, InstanceClient::Outcome::Delivered);
    QCOMPARE(result, qint64(3));
}

void tst_InstanceChannel::survivesASenderThatGivesUpWaiting()
{
    std::atomic<bool> senderGaveUp = false;
    m_server->setFilter([&](const WindowMessage &message, qint64 *result) {
        // Still busy with the first message when its sender stops waiting.
        const QDeadlineTimer deadline(5000);
        while (message.message == 1 && !senderGaveUp && !deadline.hasExpired())
            QTest::qWait(5);
        *result = 5;
        return true;
    });
    InstanceClient::Outcome outcome = InstanceClient::Outcome::Delivered;
    qint64 result = 0;
    bool handled = false;
    QVERIFY(runClient([&] {
        outcome = InstanceClient(Title).send({ 1, 0, 0 }, &result, &handled, 200);
        senderGaveUp = true;
    }));
    QCOMPARE(outcome, InstanceClient::Outcome::NoAnswer);
    QTest::qWait(50);

    QVERIFY(runClient([&] {
        outcome = InstanceClient(Title).send({ 2, 0, 0 }, &result, &handled, 5000);
    }));
    QCOMPARE(outcome, InstanceClient::Outcome::Delivered);
    QCOMPARE(result, qint64(5));
}

void tst_InstanceChannel::addressIsPrivateAndFollowsTheSettings()
{
    const Platform::InstanceAddress address(Title);
    struct stat folder;
    QCOMPARE(::stat(QFile::encodeName(address.directory()).constData(), &folder), 0);
    QCOMPARE(folder.st_mode & 0777, mode_t(0700));
    struct stat socket;
    QCOMPARE(::stat(QFile::encodeName(address.socketPath()).constData(), &socket), 0);
    QVERIFY(S_ISSOCK(socket.st_mode));
    QCOMPARE(socket.st_mode & 077, mode_t(0));

    QCOMPARE(Platform::InstanceAddress(Title).socketPath(), address.socketPath());
    QVERIFY(Platform::InstanceAddress(QStringLiteral("x")).socketPath() != address.socketPath());
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", saved + "/elsewhere");
    const QString elsewhere = Platform::InstanceAddress(Title).socketPath();
    qputenv("XDG_CONFIG_HOME", saved);
    QVERIFY(elsewhere != address.socketPath());
}

void tst_InstanceChannel::aFolderOpenToOthersIsRefused()
{
    // A runtime folder of this test's own: others share the usual one.
    QTemporaryDir runtime(QStringLiteral("/tmp/kc-XXXXXX"));
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
    InstanceServer server(Title);
    QCOMPARE(server.claim(), InstanceServer::Claim::Claimed);
    QVERIFY(server.listen());
    QVERIFY(InstanceClient(Title).exists());

    const QByteArray folder = QFile::encodeName(server.address().directory());
    QCOMPARE(::chmod(folder.constData(), 0733), 0);
    InstanceServer other(QStringLiteral("Another title"));
    const InstanceServer::Claim claim = other.claim();
    const bool reached = InstanceClient(Title).exists();
    qputenv("XDG_RUNTIME_DIR", saved);
    QCOMPARE(claim, InstanceServer::Claim::Failed);
    QVERIFY2(other.errorString().contains(QStringLiteral("open to other users")),
             qPrintable(other.errorString()));
    QVERIFY2(!reached, "a client must not talk to a socket others could have put there");
}

void tst_InstanceChannel::theSocketFitsWhateverTheRuntimeFolder()
{
    m_server.reset();
    // Short enough for a socket inside; the test's own temp folder may not be.
    QTemporaryDir base(QStringLiteral("/tmp/kc-XXXXXX"));
    const QString deep = base.path() + QLatin1Char('/') + QString(120, QLatin1Char('r'));
    QVERIFY(QDir().mkpath(deep));
    const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
    // The shared fallback in /tmp goes with the last instance that used it,
    // when nobody had it before (another may make it anew meanwhile).
    const QByteArray fallback = "/tmp/keycrate-" + QByteArray::number(::getuid());
    const bool fallbackThere = QFileInfo::exists(QFile::decodeName(fallback));
    for (const QString &runtime : { deep, base.path(), QString() }) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime));
        struct stat used = {};
        {
            InstanceServer server(Title);
            QCOMPARE(server.claim(), InstanceServer::Claim::Claimed);
            QVERIFY2(server.listen(), qPrintable(server.errorString()));
            const QString socket = server.address().socketPath();
            QVERIFY2(QFile::encodeName(socket).size() <= 107, qPrintable(socket));
            QCOMPARE(socket.startsWith(base.path()), runtime == base.path());
            QCOMPARE(socket.startsWith(QFile::decodeName(fallback)), runtime != base.path());
            QVERIFY(InstanceClient(Title).exists());
            ::stat(fallback.constData(), &used);
        }
        struct stat now = {};
        if (runtime != base.path() && !fallbackThere)
            QVERIFY(::stat(fallback.constData(), &now) != 0 || now.st_ino != used.st_ino);
    }
    QVERIFY(QFileInfo::exists(base.path() + QStringLiteral("/keycrate-%1").arg(::getuid())));
    qputenv("XDG_RUNTIME_DIR", saved);
}

void tst_InstanceChannel::theOwnerLockMakesOneInstanceWhateverTheEnvironment()
{
    QTemporaryDir owned;
    const QString ownerLock = owned.filePath(QStringLiteral("list.lock"));
    InstanceServer first(QStringLiteral("Owner test"), ownerLock);
    QCOMPARE(first.claim(), InstanceServer::Claim::Claimed);
    QVERIFY(first.listen());
    QCOMPARE(InstanceServer::ownerSocket(ownerLock), first.address().socketPath());

    // Another environment gives another address, but the same list is owned.
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", saved + "/elsewhere");
    InstanceServer second(QStringLiteral("Owner test"), ownerLock);
    qputenv("XDG_CONFIG_HOME", saved);
    QVERIFY(second.address().socketPath() != first.address().socketPath());
    QCOMPARE(second.claim(), InstanceServer::Claim::HeldElsewhere);
    QVERIFY(InstanceClient::atSocket(InstanceServer::ownerSocket(ownerLock)).exists());

    first.release();
    QCOMPARE(InstanceServer::ownerSocket(ownerLock), QString());
    QCOMPARE(second.claim(), InstanceServer::Claim::Claimed);
    QVERIFY(second.listen());
    QCOMPARE(InstanceServer::ownerSocket(ownerLock), second.address().socketPath());
}

void tst_InstanceChannel::anotherUsersRequestIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    // As though the folder's mode let everyone in.
    const QString socketPath = Platform::InstanceAddress(Title).socketPath();
    const QByteArray folder = QFile::encodeName(QFileInfo(socketPath).path());
    QVERIFY(::chmod(folder.constData(), 0777) == 0
            && ::chmod(QFile::encodeName(socketPath).constData(), 0777) == 0);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(QFileInfo(socketPath).fileName()).constData(),
             sizeof address.sun_path);
    // The peer's user is the one that connected; from inside the folder, the
    // folders above it need not let that user pass.
    const QString before = QDir::currentPath();
    const bool inside = QDir::setCurrent(QFile::decodeName(folder));
    const bool other = inside && ::seteuid(65534) == 0;
    const bool connected
        = ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    QVERIFY(::seteuid(0) == 0 && QDir::setCurrent(before) && other && connected);
    ::chmod(folder.constData(), 0700);
    const QByteArray frame = MessageFrame::encodeRequest(MessageFrame::Mode::Post, { 1046, 0, 2 });
    QCOMPARE(::send(fd, frame.constData(), size_t(frame.size()), MSG_NOSIGNAL), frame.size());
    char byte;
    QTRY_VERIFY(::recv(fd, &byte, 1, MSG_DONTWAIT) == 0);
    ::close(fd);
    QVERIFY(m_seen.isEmpty());
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--claim-and-die") == 0) {
        QCoreApplication application(argc, argv);
        InstanceServer server(Title);
        if (server.claim() != InstanceServer::Claim::Claimed || !server.listen())
            return 1;
        std::_Exit(0);
    }
    QCoreApplication application(argc, argv);
    tst_InstanceChannel test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_InstanceChannel.moc"
