#include "OwnFile.h"
#include "OwnerOnly.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using Platform::OwnerOnly;
using Platform::OwnFile;

class tst_OwnFile : public QObject
{
    Q_OBJECT

private slots:
    void onlyThisUsersRegularFileOpens();
    void aMissingFileIsMadeOnlyWhenAsked();
    void foldersAreTheOwnersWhateverTheUmask();
};

void tst_OwnFile::onlyThisUsersRegularFileOpens()
{
    QTemporaryDir dir;
    const std::string own = dir.filePath("own").toStdString();
    QFile plain(dir.filePath("own"));
    QVERIFY(plain.open(QIODevice::WriteOnly) && plain.write("bytes") == 5);
    plain.close();
    std::string problem;
    const int fd = OwnFile::open(own, O_RDONLY, &problem);
    QVERIFY2(fd >= 0, problem.c_str());
    // Handed over blocking, as a reader of a regular file expects.
    QCOMPARE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ::close(fd);

    // What others may plant: each refused at once, saying why, reads and writes alike.
    const std::string link = dir.filePath("link").toStdString();
    const std::string fifo = dir.filePath("fifo").toStdString();
    QCOMPARE(::symlink(own.c_str(), link.c_str()), 0);
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    const struct
    {
        std::string path;
        const char *why;
    } planted[] = { { link, "a link" },
                    { fifo, "not a regular file" },
                    { "/dev/null", "not a regular file" } };
    for (const auto &place : planted) {
        for (const int flags : { O_RDONLY, O_WRONLY | O_APPEND | O_CREAT }) {
            problem.clear();
            QCOMPARE(OwnFile::open(place.path, flags, &problem), -1);
            QVERIFY2(problem.find(place.why) != std::string::npos, problem.c_str());
        }
        QFile file(QString::fromStdString(place.path));
        QVERIFY(!OwnFile::open(file, QIODevice::ReadOnly, OwnFile::Missing::Fail, &problem));
    }
    QCOMPARE(QFile(dir.filePath("own")).size(), 5);

    // Another user's file, even one we could read.
    const std::string other = ::geteuid() == 0 ? own : std::string("/etc/passwd");
    if (::geteuid() == 0)
        QCOMPARE(::chown(own.c_str(), 65534, 65534), 0);
    problem.clear();
    QCOMPARE(OwnFile::open(other, O_RDONLY, &problem), -1);
    QVERIFY2(problem.find("another user") != std::string::npos, problem.c_str());
}

void tst_OwnFile::aMissingFileIsMadeOnlyWhenAsked()
{
    QTemporaryDir dir;
    QFile file(dir.filePath("new"));
    std::string problem;
    // A missing file is no problem to report.
    QVERIFY(!OwnFile::open(file, QIODevice::ReadWrite, OwnFile::Missing::Fail, &problem));
    QVERIFY(problem.empty());
    QVERIFY(!file.exists());
    QVERIFY(!OwnFile::open(file, QIODevice::ReadOnly));
    QVERIFY(!file.exists());

    const mode_t mask = ::umask(0);
    const bool made = OwnFile::open(file, QIODevice::WriteOnly | QIODevice::Append);
    ::umask(mask);
    QVERIFY(made);
    QCOMPARE(file.write("one"), 3);
    file.close();
    QCOMPARE(QFile::permissions(dir.filePath("new")) & 0x0777, QFile::ReadUser | QFile::WriteUser);
    QFile again(dir.filePath("new"));
    QVERIFY(OwnFile::open(again, QIODevice::ReadWrite, OwnFile::Missing::Fail));
    QCOMPARE(again.readAll(), QByteArray("one"));
}

void tst_OwnFile::foldersAreTheOwnersWhateverTheUmask()
{
    QTemporaryDir dir;
    for (const mode_t umask : { 0000, 0277 }) {
        const QString deepest = dir.filePath(QString("%1/a/b").arg(umask));
        const mode_t saved = ::umask(umask);
        const bool made = OwnerOnly::makeFolder(deepest);
        ::umask(saved);
        QVERIFY(made);
        for (QString at = deepest; at != dir.path(); at = QFileInfo(at).path()) {
            struct stat info;
            QCOMPARE(::stat(QFile::encodeName(at).constData(), &info), 0);
            QCOMPARE(info.st_mode & 07777, mode_t(0700));
        }
    }
}

QTEST_APPLESS_MAIN(tst_OwnFile)
#include "tst_OwnFile.moc"
