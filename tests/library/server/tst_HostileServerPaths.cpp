// A server that lists an event whose path names a file outside the data
// folder: nothing of that file is sent, and opening the event stays inside.

#include "LibraryHost.h"
#include "LibrarySettings.h"
#include "ScriptedServer.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Quorvane;

class TestHostileServerPaths : public QObject
{
    Q_OBJECT

private slots:
    void listedPathsStayInTheDataFolder()
    {
        QString why;
        IQuorvane *library = loadLibrary(&why);
        QVERIFY2(library, qPrintable(why));
        QTemporaryDir data, outside;
        const QString secret = outside.filePath("id_rsa");
        QFile secretFile(secret);
        QVERIFY(secretFile.open(QIODevice::WriteOnly));
        secretFile.write("TOP SECRET KEY");
        secretFile.close();

        ScriptedServer server;
        LibrarySettings::configure(QString::fromUtf8(server.baseUrl()), data.path());
        library->setDataPath(data.path().toUtf8().constData());
        const QByteArray id = "9e8d7c6b-5a49-4382-9170-6f5e4d3c2b1a";
        const QByteArray now = QByteArray::number(QDateTime::currentSecsSinceEpoch());
        server.queueResponse(200,
                             "OK\nid\n" + id + "\nname\nKey\npath\n" + secret.toUtf8()
                                 + "\ntype\ntext/plain\nrecordTime\n" + now + "\nrecordChanged\n"
                                 + now + "\nevent\n");
        RecordingUser user;
        QCOMPARE(findListed(loadAll(library, user), id).path, QByteArray("id_rsa"));

        // Sync fetches it (the answer "OK\n" is its file) and keeps it locally.
        user.clear();
        QCOMPARE(library->syncEvents(idList({ id }), &user), 0);
        QVERIFY(user.waitForFinished());
        QCOMPARE(user.last().code, 0);

        // Gone from the server now: an upload sends the local copy.
        QCOMPARE(locationOf(loadAll(library, user), id), 0);
        user.clear();
        QCOMPARE(library->uploadEvents(idList({ id }), &user), 0);
        QVERIFY(user.waitForFinished());
        QCOMPARE(user.last().code, 0);
        bool uploaded = false;
        for (const ScriptedServer::Request &request : std::as_const(server.requests)) {
            QVERIFY(!request.body.contains("TOP SECRET"));
            uploaded = uploaded || request.target.contains("/quorvupload?");
        }
        QVERIFY(uploaded);

        // The desktop is a script that notes what it was asked to open.
        const QString noted = outside.filePath("opened.txt");
        const QString opener = outside.filePath("opener.sh");
        QFile script(opener);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s' \"$1\" > '" + noted.toUtf8() + "'\n");
        script.close();
        QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("KEYCRATE_OPEN_COMMAND", opener.toUtf8());
        user.clear();
        QCOMPARE(library->openEventFile(id.constData(), &user), 0);
        QVERIFY(user.waitForFinished());
        qunsetenv("KEYCRATE_OPEN_COMMAND");
        QFile opened(noted);
        QVERIFY(opened.open(QIODevice::ReadOnly));
        QVERIFY2(opened.readAll().startsWith(QDir(data.path()).canonicalPath().toUtf8() + '/'),
                 "opened a file outside the data folder");
    }

    void hostileNamesLeaveNothingBehind()
    {
        QString why;
        IQuorvane *library = loadLibrary(&why);
        QVERIFY2(library, qPrintable(why));
        QTemporaryDir data;
        ScriptedServer server;
        LibrarySettings::configure(QString::fromUtf8(server.baseUrl()), data.path());
        library->setDataPath(data.path().toUtf8().constData());
        const QByteArray now = QByteArray::number(QDateTime::currentSecsSinceEpoch());
        // Names of the event's own field files, of folders, one with a NUL and
        // one no file system takes.
        const QList<QByteArray> paths {
            "id.txt", "name.txt", ".", "..", QByteArray("a\0b.txt", 7), QByteArray(100 * 1024, 'n')
        };
        for (const QByteArray &path : paths) {
            const QByteArray id = "hostile-" + QByteArray::number(path.size());
            server.queueResponse(200,
                                 "OK\nid\n" + id + "\nname\nN\npath\n" + path
                                     + "\ntype\ntext/plain\nrecordTime\n" + now
                                     + "\nrecordChanged\n" + now + "\nevent\n");
            RecordingUser user;
            QCOMPARE(locationOf(loadAll(library, user), id), 1);
            // Fails every time, with nothing kept between the attempts.
            for (int attempt = 0; attempt < 2; ++attempt) {
                server.queueResponse(200, "bytes\n");
                user.clear();
                QCOMPARE(library->syncEvents(idList({ id }), &user), 0);
                QVERIFY(user.waitForFinished());
                QVERIFY2(user.last().code != 0, path.left(20).toPercentEncoding().constData());
                QVERIFY(!QFileInfo::exists(eventFolder(data.path(), id)));
                QVERIFY(!QFileInfo::exists(data.filePath("holding/" + QString::fromUtf8(id))));
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestHostileServerPaths)
#include "tst_HostileServerPaths.moc"
