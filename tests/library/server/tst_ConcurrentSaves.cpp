// Four pipes uploading at once through the loaded library against the
// reference server, one of them with a password the server refuses: each
// hears its own answer.

#include "LibraryHost.h"
#include "LibrarySettings.h"
#include "ReferenceServer.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <array>

using namespace Quorvane;

class TestConcurrentSaves : public QObject
{
    Q_OBJECT

private slots:
    void eachPipeReadsItsOwnAnswer()
    {
        QString why;
        IQuorvane *library = loadLibrary(&why);
        QVERIFY2(library, qPrintable(why));
        ReferenceServer server;
        QVERIFY2(server.start(), qPrintable(server.failure()));
        QTemporaryDir data, files;
        LibrarySettings::configure(server.url(), data.path());
        library->setDataPath(data.path().toUtf8().constData());

        std::array<RecordingUser, 4> users;
        std::array<QByteArray, 4> names, paths;
        for (int i = 0; i < 4; ++i) {
            names[i] = "Upload " + QByteArray::number(i);
            paths[i] = files.filePath(QString("file%1.txt").arg(i)).toUtf8();
            QFile file(QString::fromUtf8(paths[i]));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QByteArray(64 * 1024, char('a' + i)));
        }
        for (int i = 0; i < 4; ++i) {
            library->setCredentials(ReferenceServer::User,
                                    i == 0 ? "not the password" : ReferenceServer::Password);
            QCOMPARE(
                library->addEvent(hostEvent(1, 4, names[i].constData(), "", "a note"), &users[i]),
                0);
        }
        for (int i = 0; i < 4; ++i) {
            QVERIFY(users[i].waitForFinished());
            QCOMPARE(users[i].last().code, i == 0 ? 100 : 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestConcurrentSaves)
#include "tst_ConcurrentSaves.moc"
