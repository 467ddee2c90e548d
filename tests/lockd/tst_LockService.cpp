#include "LockdInstance.h"
#include "LockdProtocol.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using LockdProtocol::Command;
using LockdProtocol::Result;

namespace {

// The service's client side, by hand: the tests also speak out of turn.
int connectTo(const QString &socket)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(socket).constData(), sizeof address.sun_path);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendRequest(int socket, Command command, const std::vector<int> &descriptors, int flags = 0)
{
    LockdProtocol::Request request;
    request.command = static_cast<std::uint32_t>(command);
    iovec part { &request, sizeof request };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    std::vector<char> control(CMSG_SPACE(sizeof(int) * descriptors.size()));
    if (!descriptors.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int) * descriptors.size());
        std::memcpy(CMSG_DATA(header), descriptors.data(), sizeof(int) * descriptors.size());
    }
    return ::sendmsg(socket, &message, MSG_NOSIGNAL | flags) == sizeof request;
}

// The result of the next answer, or -1 when the service ended the connection.
int nextResult(int socket)
{
    LockdProtocol::Answer answer;
    std::size_t have = 0;
    while (have < sizeof answer) {
        const ssize_t got
            = ::recv(socket, reinterpret_cast<char *>(&answer) + have, sizeof answer - have, 0);
        if (got <= 0)
            return -1;
        have += static_cast<std::size_t>(got);
    }
    return answer.result;
}

int openFile(const QString &path, int flags = O_RDONLY)
{
    return ::open(QFile::encodeName(path).constData(), flags | O_NONBLOCK | O_CLOEXEC);
}

int command(int socket, Command what, const QString &path, int flags = O_RDONLY)
{
    const int fd = openFile(path, flags);
    const bool sent = fd >= 0 && sendRequest(socket, what, { fd });
    if (fd >= 0)
        ::close(fd);
    return sent ? nextResult(socket) : -1;
}

// Runs as another user until destroyed: effective ids only, so the test can
// go back to root.
class AsUser
{
public:
    explicit AsUser(uid_t uid)
    {
        if (::setegid(uid) != 0 || ::seteuid(uid) != 0)
            qFatal("cannot become %u", uid);
    }
    ~AsUser()
    {
        if (::seteuid(0) != 0 || ::setegid(0) != 0)
            qFatal("cannot become root again");
    }
};

// errno of what each change attempt gave, 0 for success, in one text.
QString changesAllowed(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    QStringList outcome;
    auto note = [&](const char *what, bool done) {
        outcome << QStringLiteral("%1:%2").arg(QLatin1String(what),
                                               done ? QStringLiteral("ok")
                                                    : QString::fromLatin1(std::strerror(errno)));
    };
    const int fd = ::open(name.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    note("write", fd >= 0 && ::write(fd, "x", 1) == 1);
    if (fd >= 0)
        ::close(fd);
    note("truncate", ::truncate(name.constData(), 0) == 0);
    note("chmod", ::chmod(name.constData(), 0666) == 0);
    const QByteArray linked = name + ".link";
    note("link", ::link(name.constData(), linked.constData()) == 0);
    ::unlink(linked.constData());
    const QByteArray moved = name + ".moved";
    const bool renamed = ::rename(name.constData(), moved.constData()) == 0;
    note("rename", renamed);
    if (renamed)
        ::rename(moved.constData(), name.constData());
    return outcome.join(QLatin1Char(' '));
}

const QString AllRefused = QStringLiteral("write:Operation not permitted truncate:Operation not "
                                          "permitted chmod:Operation not permitted "
                                          "link:Operation not permitted rename:Operation not "
                                          "permitted");
const QString AllAllowed = QStringLiteral("write:ok truncate:ok chmod:ok link:ok rename:ok");

} // namespace

class tst_LockService : public QObject
{
    Q_OBJECT

private:
    QString userFile(const QString &name);
    bool becomesMutable(const QString &path);

    QTemporaryDir m_folder;
    uid_t m_user = 0;

private slots:
    void initTestCase();
    void cleanup();
    void lockedFileRefusesEveryChange();
    void clientEndReleases();
    void nextStartReleasesWhatACrashLeft();
    void refusesWhatIsNotTheClientsFile();
    void hostileClientsDelayNoOne();
    void aClientHoldsAtMostItsShare();
    void endsByItselfWithoutClients();
};

void tst_LockService::initTestCase()
{
    QVERIFY(m_folder.isValid());
    QString why;
    if (!LockdInstance::available(m_folder.path(), &why))
        QSKIP(qPrintable(why));
    m_user = LockdInstance::unusedUid();
    // The client user works in this folder.
    QCOMPARE(::chmod(QFile::encodeName(m_folder.path()).constData(), 0777), 0);
}

void tst_LockService::cleanup()
{
    LockdInstance::clearImmutable(m_folder.path());
}

QString tst_LockService::userFile(const QString &name)
{
    const QString path = m_folder.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write("content\n");
    file.close();
    ::chown(QFile::encodeName(path).constData(), m_user, m_user);
    return path;
}

// Polls, as a client's end reaches the service a moment later.
bool tst_LockService::becomesMutable(const QString &path)
{
    return QTest::qWaitFor([&] { return !LockdInstance::immutable(path); }, 5000);
}

void tst_LockService::lockedFileRefusesEveryChange()
{
    LockdInstance service(m_folder.path());
    QVERIFY2(service.start(), qPrintable(service.output()));
    const QString path = userFile(QStringLiteral("report.txt"));
    int socket;
    {
        AsUser user(m_user);
        socket = connectTo(service.socketPath());
        QVERIFY(socket >= 0);
        QCOMPARE(command(socket, Command::Lock, path), int(Result::Protected));
        // Again on the same connection: still one lock.
        QCOMPARE(command(socket, Command::Lock, path), int(Result::Protected));
        QCOMPARE(changesAllowed(path), AllRefused);
        QCOMPARE(::unlink(QFile::encodeName(path).constData()), -1);
    }
    QCOMPARE(changesAllowed(path), AllRefused);
    QCOMPARE(::unlink(QFile::encodeName(path).constData()), -1);

    QVERIFY(sendRequest(socket, Command::List, {}));
    QCOMPARE(nextResult(socket), int(Result::ListEntry));
    QCOMPARE(nextResult(socket), int(Result::ListEnd));

    QCOMPARE(command(socket, Command::Unlock, path), int(Result::Protected));
    QCOMPARE(command(socket, Command::Unlock, path), int(Result::NotLocked));
    {
        AsUser user(m_user);
        QCOMPARE(changesAllowed(path), AllAllowed);
    }
    // An orderly end lets go of everything too.
    QCOMPARE(command(socket, Command::Lock, path), int(Result::Protected));
    service.stop();
    QVERIFY(!LockdInstance::immutable(path));
    ::close(socket);
}

void tst_LockService::clientEndReleases()
{
    LockdInstance service(m_folder.path());
    QVERIFY(service.start());
    const QString path = userFile(QStringLiteral("held.txt"));
    const QString shared = userFile(QStringLiteral("shared.txt"));
    int ready[2];
    QCOMPARE(::pipe(ready), 0);
    const pid_t client = ::fork();
    if (client == 0) {
        if (::setgid(m_user) != 0 || ::setuid(m_user) != 0)
            ::_exit(1);
        const int socket = connectTo(service.socketPath());
        const bool locked = command(socket, Command::Lock, path) == int(Result::Protected)
            && command(socket, Command::Lock, shared) == int(Result::Protected);
        ::write(ready[1], locked ? "y" : "n", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char answer = 0;
    QCOMPARE(::read(ready[0], &answer, 1), 1);
    ::close(ready[0]);
    // A second client holds the shared file too: it stays locked for it.
    const int other = connectTo(service.socketPath());
    QCOMPARE(command(other, Command::Lock, shared), int(Result::Protected));
    ::kill(client, SIGKILL);
    ::waitpid(client, nullptr, 0);
    QCOMPARE(answer, 'y');
    QVERIFY(becomesMutable(path));
    QVERIFY(LockdInstance::immutable(shared));
    ::close(other);
    QVERIFY(becomesMutable(shared));
}

void tst_LockService::nextStartReleasesWhatACrashLeft()
{
    const QString path = userFile(QStringLiteral("crash.txt"));
    {
        LockdInstance service(m_folder.path());
        QVERIFY(service.start());
        const int socket = connectTo(service.socketPath());
        QCOMPARE(command(socket, Command::Lock, path), int(Result::Protected));
        service.kill();
        ::close(socket);
    }
    QVERIFY(LockdInstance::immutable(path));
    LockdInstance next(m_folder.path());
    QVERIFY2(next.start(), qPrintable(next.output()));
    QVERIFY(!LockdInstance::immutable(path));
}

void tst_LockService::refusesWhatIsNotTheClientsFile()
{
    LockdInstance service(m_folder.path());
    QVERIFY(service.start());
    const QString rootFile = m_folder.filePath(QStringLiteral("roots.txt"));
    QFile(rootFile).open(QIODevice::WriteOnly);
    const QString fifo = m_folder.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0666), 0);
    const QString link = m_folder.filePath(QStringLiteral("link"));
    const QString mine = userFile(QStringLiteral("mine.txt"));
    QVERIFY(QFile::link(rootFile, link));
    const QString folder = m_folder.filePath(QStringLiteral("folder"));
    QVERIFY(QDir().mkdir(folder));
    const QString theirs = userFile(QStringLiteral("theirs.txt"));
    QProcess chattr;
    chattr.start(QStringLiteral("chattr"), { QStringLiteral("+i"), theirs });
    QVERIFY(chattr.waitForFinished() && chattr.exitCode() == 0);

    // Root may lock any file, but only where the flag is kept: not in /proc.
    const int rootClient = connectTo(service.socketPath());
    QCOMPARE(command(rootClient, Command::Lock, QStringLiteral("/proc/self/status")),
             int(Result::Unsupported));
    QCOMPARE(command(rootClient, Command::Lock, rootFile), int(Result::Protected));
    QCOMPARE(command(rootClient, Command::Unlock, rootFile), int(Result::Protected));
    ::close(rootClient);

    AsUser user(m_user);
    const int socket = connectTo(service.socketPath());
    QCOMPARE(command(socket, Command::Lock, rootFile), int(Result::NotOwner));
    // Anything but a regular file ends the connection, and with it its locks.
    const struct
    {
        QString path;
        int flags;
    } others[] = { { link, O_PATH | O_NOFOLLOW },
                   { fifo, O_RDONLY },
                   { folder, O_RDONLY | O_DIRECTORY },
                   { QStringLiteral("/dev/null"), O_RDONLY } };
    for (const auto &other : others) {
        const int client = connectTo(service.socketPath());
        QCOMPARE(command(client, Command::Lock, mine), int(Result::Protected));
        QCOMPARE(command(client, Command::Lock, other.path, other.flags), -1);
        ::close(client);
        QVERIFY(becomesMutable(mine));
        QVERIFY(!LockdInstance::immutable(other.path));
    }
    QVERIFY(!LockdInstance::immutable(rootFile));
    QCOMPARE(command(socket, Command::Lock, mine), int(Result::Protected));

    // A flag someone else set is not ours to take or to clear.
    QCOMPARE(command(socket, Command::Lock, theirs), int(Result::AlreadyImmutable));
    QCOMPARE(command(socket, Command::Unlock, theirs), int(Result::NotLocked));
    ::close(socket);
    QVERIFY(becomesMutable(mine));
    QVERIFY(LockdInstance::immutable(theirs));
}

void tst_LockService::hostileClientsDelayNoOne()
{
    LockdInstance service(m_folder.path());
    QVERIFY(service.start());
    const QString mine = userFile(QStringLiteral("flood.txt"));
    const QString other = userFile(QStringLiteral("other.txt"));
    AsUser user(m_user);

    // Requests it never reads the answers of, until the socket is full.
    const int flood = connectTo(service.socketPath());
    const int fd = openFile(mine);
    int sent = 0;
    while (sent < 1000 && sendRequest(flood, Command::Lock, { fd }, MSG_DONTWAIT))
        ++sent;
    QVERIFY(sent > 0);
    const int garbage = connectTo(service.socketPath());
    QCOMPARE(::write(garbage, "GET / HTTP/1.1\r\n\r\n", 18), 18);
    // Many descriptors in one message.
    const int many = connectTo(service.socketPath());
    QVERIFY(sendRequest(many, Command::Lock, std::vector<int>(200, fd)));
    ::close(fd);

    const int socket = connectTo(service.socketPath());
    QCOMPARE(command(socket, Command::Lock, other), int(Result::Protected));
    QCOMPARE(nextResult(garbage), -1);
    QCOMPARE(nextResult(many), -1);
    QCOMPARE(nextResult(flood), int(Result::Protected));
    for (int fd : { flood, garbage, many, socket })
        ::close(fd);
    QVERIFY(becomesMutable(mine));
    QVERIFY(becomesMutable(other));
    QVERIFY(service.running());
}

void tst_LockService::aClientHoldsAtMostItsShare()
{
    LockdInstance service(m_folder.path());
    QVERIFY(service.start());
    QTemporaryDir many(m_folder.filePath(QStringLiteral("many-XXXXXX")));
    const int total = int(LockdProtocol::MaxLocksPerClient) + 1;
    QStringList paths;
    for (int i = 0; i < total; ++i) {
        paths << many.filePath(QString::number(i));
        QFile file(paths.last());
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const int socket = connectTo(service.socketPath());
    // In windows, so that the service notes many locks with one sync.
    QMap<int, int> results;
    for (int start = 0; start < total; start += 512) {
        const int end = std::min(total, start + 512);
        for (int i = start; i < end; ++i) {
            const int fd = openFile(paths.at(i));
            QVERIFY(fd >= 0 && sendRequest(socket, Command::Lock, { fd }));
            ::close(fd);
        }
        for (int i = start; i < end; ++i)
            ++results[nextResult(socket)];
    }
    // Where the service's descriptor limit is lower than the share, it says
    // so for each lock beyond it, keeping room for other clients; the
    // connection and its locks stay.
    const int taken = results.value(int(Result::Protected));
    QCOMPARE(results.value(-1), 0);
    QVERIFY(taken > 0);
    QVERIFY(LockdInstance::immutable(paths.at(taken - 1)));
    if (taken == total - 1) {
        QCOMPARE(results.value(int(Result::TooManyLocks)), 1);
    } else {
        QCOMPARE(results.value(int(Result::Failed)), total - taken);
        qInfo("the service's descriptor limit allowed %d locks", taken);
    }
    QVERIFY(!LockdInstance::immutable(paths.last()));
    // Another client is answered beside it: served within its own share,
    // told at once where the service has no descriptors left.
    const int other = connectTo(service.socketPath());
    QCOMPARE(command(other, Command::Lock, paths.last()),
             int(taken == total - 1 ? Result::Protected : Result::Failed));
    ::close(other);
    ::close(socket);
    QVERIFY(becomesMutable(paths.first()));
    QVERIFY(becomesMutable(paths.at(total / 2)));
    service.stop();
}

void tst_LockService::endsByItselfWithoutClients()
{
    LockdInstance service(m_folder.path());
    QVERIFY(service.start(1));
    const int socket = connectTo(service.socketPath());
    QVERIFY(socket >= 0);
    // Not while a client is connected.
    QTest::qWait(1500);
    QVERIFY(service.running());
    ::close(socket);
    QCOMPARE(service.waitForEnd(), 0);
    QVERIFY(!QFile::exists(service.socketPath()));
}

QTEST_GUILESS_MAIN(tst_LockService)
#include "tst_LockService.moc"
