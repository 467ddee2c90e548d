// Talks to the built libQuorvane.so the way keycrate does: loaded by file
// name, reached only through GetQuorvanePointer and IQuorvane.
#include "IQuorvane.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibrary>
#include <QSettings>
#include <QTest>
#include <sys/stat.h>

// Clang before 15 tells of AddressSanitizer only through __has_feature.
#if !defined(__SANITIZE_ADDRESS__) && defined(__has_feature)
#if __has_feature(address_sanitizer)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// From the sanitizer runtime; GCC ships no header for it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

using namespace Quorvane;

namespace {

class SilentUser : public QuorvaneUser
{
public:
    void OnFinished(int, int) override { ++calls; }
    void OnMessage(const char *) override { ++calls; }
    void OnProgress(int, int) override { ++calls; }
    int calls = 0;
};

size_t heapInUse()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

IdList listOf(int ids)
{
    IdList list = IdList::withCapacity();
    for (int i = 0; i < ids; ++i)
        list.append(QByteArray::number(i).rightJustified(36, '0').constData());
    return list;
}

// The settings file as another program of the user sees it.
QString settingsFile()
{
    return QSettings(QSettings::NativeFormat, QSettings::UserScope, "keycrate.org", "Quorvane")
        .fileName();
}

int fileMode(const QString &path)
{
    struct stat info
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 07777);
}

} // namespace

class InterfaceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void freshStoreReadsEmpty();
    void settingsRoundTrip();
    void credentialsKeepTheirRecord();
    void valuesWrittenByAnotherProgram();
    void settingsFileStaysOwnerOnly();
    void version();
    void eventQueriesWithoutPool();
    void everyEventOperationAnswers33();
    void listOperationsReleaseTheList();
    void deletedInterfaceIsBuiltAnew();

private:
    IQuorvane *library() { return m_get(); }

    QLibrary m_library;
    GetQuorvanePointerFunction m_get = nullptr;
};

void InterfaceTest::initTestCase()
{
    // This suite covers the library without a pipe pool (the pool's seam).
    qputenv("KEYCRATE_TEST_PIPE_POOL_FAILURE", "all");
    m_library.setFileName(qEnvironmentVariable("KEYCRATE_BIN_DIR") + "/libQuorvane.so");
    QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
    m_get = reinterpret_cast<GetQuorvanePointerFunction>(m_library.resolve("GetQuorvanePointer"));
    QVERIFY(m_get);
    QVERIFY(library());
}

void InterfaceTest::freshStoreReadsEmpty()
{
    IQuorvane *q = library();
    QVERIFY(!QFile::exists(settingsFile()));
    QCOMPARE(q->getDataPath(), "");
    QCOMPARE(q->getRefreshDays(), 0);
    QCOMPARE(q->getDefaultAccess(), 0);
    const Credentials *credentials = q->getCredentials();
    QCOMPARE(credentials->user, "");
    QCOMPARE(credentials->password, "");
    // Reading writes nothing.
    QVERIFY(!QFile::exists(settingsFile()));
}

void InterfaceTest::settingsRoundTrip()
{
    IQuorvane *q = library();
    const QByteArray path = "/home/\xc3\xbcser/Ereignisse \xe2\x82\xac";
    QCOMPARE(q->setDataPath(path.constData()), 0);
    QCOMPARE(QByteArray(q->getDataPath()), path);
    QCOMPARE(q->setRefreshDays(12), 0);
    QCOMPARE(q->getRefreshDays(), 12);
    QCOMPARE(q->setDefaultAccess(-2), 0);
    QCOMPARE(q->getDefaultAccess(), -2);
    QCOMPARE(q->setDefaultAccess(2), 0);
    QCOMPARE(q->getDefaultAccess(), 2);
    QCOMPARE(q->setDataPath(nullptr), 0);
    QCOMPARE(q->getDataPath(), "");

    // What another program of the user reads.
    QCOMPARE(q->setDefaultAccess(-2), 0);
    QSettings other(QSettings::NativeFormat, QSettings::UserScope, "keycrate.org", "Quorvane");
    QCOMPARE(other.value("default_access").toInt(), -2);
    QCOMPARE(other.value("refresh_days").toInt(), 12);
}

void InterfaceTest::credentialsKeepTheirRecord()
{
    IQuorvane *q = library();
    // Not valid UTF-8 on purpose: the password is kept as bytes.
    const QByteArray password = "p\xc3\xa4ss \xe2\x82\xac\xfe\x01\x7f";
    const QByteArray user = "d\xc3\xa9mo";

    Credentials *before = q->getCredentials();
    QCOMPARE(q->setCredentials(user.constData(), password.constData()), 0);
    // The record already carries the new texts, not the replaced buffers.
    QCOMPARE(QByteArray(before->user), user);
    QCOMPARE(QByteArray(before->password), password);

    Credentials *after = q->getCredentials();
    QCOMPARE(after, before);
    QCOMPARE(QByteArray(after->user), user);
    QCOMPARE(QByteArray(after->password), password);
    QCOMPARE(q->getCredentials(), before);

    QSettings other(QSettings::NativeFormat, QSettings::UserScope, "keycrate.org", "Quorvane");
    QCOMPARE(other.value("password").toByteArray(), password);

    QCOMPARE(q->setCredentials(nullptr, nullptr), 0);
    Credentials *cleared = q->getCredentials();
    QCOMPARE(cleared, before);
    QCOMPARE(cleared->user, "");
    QCOMPARE(cleared->password, "");
}

void InterfaceTest::valuesWrittenByAnotherProgram()
{
    IQuorvane *q = library();
    QCOMPARE(q->setRefreshDays(5), 0);
    QCOMPARE(q->getRefreshDays(), 5);

    // Another program rewrites the file behind the library's back.
    QFile file(settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[General]\nrefresh_days=five\ndefault_access=x2\ndata_path=/srv/events\n"
               "user=someone\n");
    file.close();

    QCOMPARE(q->getRefreshDays(), 0);
    QCOMPARE(q->getDefaultAccess(), 0);
    QCOMPARE(q->getDataPath(), "/srv/events");
    QCOMPARE(q->getCredentials()->user, "someone");
    QCOMPARE(q->getCredentials()->password, "");
}

void InterfaceTest::settingsFileStaysOwnerOnly()
{
    IQuorvane *q = library();
    const QString path = settingsFile();
    QVERIFY(QFile::exists(path));

    struct Write
    {
        const char *what;
        std::function<void()> run;
    };
    const QList<Write> writes = {
        { "setCredentials", [q] { q->setCredentials("u", "secret"); } },
        { "setRefreshDays", [q] { q->setRefreshDays(3); } },
        { "setDefaultAccess", [q] { q->setDefaultAccess(0); } },
        { "setDataPath", [q] { q->setDataPath("/data"); } },
    };
    for (const Write &write : writes) {
        // Another program left the file readable by everyone.
        QVERIFY(QFile::setPermissions(path,
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                          | QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QCOMPARE(fileMode(path), 0644);
        write.run();
        QVERIFY2(fileMode(path) == 0600, write.what);
    }
    QCOMPARE(QByteArray(q->getCredentials()->password), QByteArray("secret"));
}

void InterfaceTest::version()
{
    QCOMPARE(library()->getVersion(), "Version: 1.14");
}

void InterfaceTest::eventQueriesWithoutPool()
{
    IQuorvane *q = library();
    for (const char *id : { "0123456789abcdef0123456789abcdef0123", "", (const char *)nullptr }) {
        const EventNative event = q->getEvent(id);
        for (const char *text :
             { event.reserved, event.content, event.type, event.recordChanged, event.recordTime,
               event.id, event.name, event.path, event.description })
            QCOMPARE(text, nullptr);
        QCOMPARE(event.location, 3);
        QCOMPARE(event.kind, 3);
        QCOMPARE(event.access, 4);
    }
    QCOMPARE(q->getEventList(), nullptr);
}

void InterfaceTest::everyEventOperationAnswers33()
{
    IQuorvane *q = library();
    SilentUser user;
    EventNative event;
    event.name = "File [a.txt]";
    event.path = "/tmp/a.txt";
    event.kind = 4;

    QCOMPARE(q->loadEvents(&user, true, 3, 0, "text", "name", false), 33);
    QCOMPARE(q->loadEvents(&user, false, 0, 0, nullptr, nullptr, true), 33);
    QCOMPARE(q->openEventFile("0123", &user), 33);
    QCOMPARE(q->addEvent(event, &user), 33);
    QCOMPARE(q->changeEvent(event), 33);
    QCOMPARE(q->deleteLocalEvents(listOf(2)), 33);
    QCOMPARE(q->uploadEvents(listOf(2), &user), 33);
    QCOMPARE(q->downloadEvents(listOf(2), &user), 33);
    QCOMPARE(q->deleteServerEvents(listOf(2), &user), 33);
    QCOMPARE(q->syncEvents(listOf(2), &user), 33);
    QCOMPARE(q->deleteEvents(listOf(2), &user), 33);
    q->cancelAll();
    QCOMPARE(q->getEventList(), nullptr);
    QCoreApplication::processEvents();
    QCOMPARE(user.calls, 0);
}

void InterfaceTest::listOperationsReleaseTheList()
{
    IQuorvane *q = library();
    SilentUser user;
    const std::function<int(IdList)> operations[] = {
        [q](IdList ids) { return q->deleteLocalEvents(ids); },
        [q, &user](IdList ids) { return q->uploadEvents(ids, &user); },
        [q, &user](IdList ids) { return q->downloadEvents(ids, &user); },
        [q, &user](IdList ids) { return q->deleteServerEvents(ids, &user); },
        [q, &user](IdList ids) { return q->syncEvents(ids, &user); },
        [q, &user](IdList ids) { return q->deleteEvents(ids, &user); },
    };
    const int ids = 2000;
    int which = 0;
    for (const auto &operation : operations) {
        IdList list = listOf(ids);
        const size_t held = heapInUse();
        QCOMPARE(operation(list), 33);
        const size_t freed = held - heapInUse();
        // Every entry and the pointer array went back to the heap.
        QVERIFY2(freed >= size_t(ids) * IdList::EntrySize,
                 qPrintable(QString("operation %1 freed %2 bytes").arg(which).arg(freed)));
        ++which;
    }
}

void InterfaceTest::deletedInterfaceIsBuiltAnew()
{
    IQuorvane *q = library();
    QCOMPARE(q->setRefreshDays(9), 0);
    delete q;

    IQuorvane *again = library();
    QVERIFY(again);
    QCOMPARE(library(), again);
    QCOMPARE(again->getRefreshDays(), 9);
    QCOMPARE(again->getVersion(), "Version: 1.14");
}

QTEST_GUILESS_MAIN(InterfaceTest)
#include "tst_Interface.moc"
