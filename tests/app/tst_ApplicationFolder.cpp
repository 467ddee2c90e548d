#include "ApplicationFolder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class tst_ApplicationFolder : public QObject
{
    Q_OBJECT

private slots:
    void whereTheLibraryAndTheListAre_data();
    void whereTheLibraryAndTheListAre();
};

void tst_ApplicationFolder::whereTheLibraryAndTheListAre_data()
{
    QTest::addColumn<QString>("library"); // relative to the program's folder
    QTest::addColumn<QString>("stateHome"); // empty: unset
    QTest::addColumn<bool>("listBeside");
    QTest::addColumn<QString>("listFolder"); // relative to HOME when not beside
    QTest::newRow("build tree") << "libQuorvane.so"
                                << "" << true << "";
    // Others could change the list there.
    QTest::newRow("shared build tree") << "libQuorvane.so"
                                       << "" << false << ".local/state/keycrate";
    QTest::newRow("installed") << "../lib/keycrate/libQuorvane.so"
                               << "state" << false << "state/keycrate";
    QTest::newRow("installed, default state folder") << "../lib/keycrate/libQuorvane.so"
                                                     << "" << false << ".local/state/keycrate";
    QTest::newRow("installed, relative state folder ignored")
        << "../lib/keycrate/libQuorvane.so"
        << "relative" << false << ".local/state/keycrate";
}

void tst_ApplicationFolder::whereTheLibraryAndTheListAre()
{
    QFETCH(QString, library);
    QFETCH(QString, stateHome);
    QFETCH(bool, listBeside);
    QFETCH(QString, listFolder);
    QTemporaryDir root;
    const QString home = root.filePath(QStringLiteral("home"));
    const QString program = root.filePath(QStringLiteral("usr/bin"));
    QVERIFY(QDir().mkpath(home) && QDir().mkpath(program));
    const QString libraryPath = QDir::cleanPath(program + QLatin1Char('/') + library);
    QVERIFY(QDir().mkpath(QFileInfo(libraryPath).path()));
    QFile file(libraryPath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    if (QTest::currentDataTag() == QLatin1String("shared build tree"))
        QVERIFY(QFile::setPermissions(program, QFileDevice::Permissions(0x7777)));

    qputenv("HOME", home.toLocal8Bit());
    if (stateHome.isEmpty())
        qunsetenv("XDG_STATE_HOME");
    else
        qputenv("XDG_STATE_HOME",
                (stateHome == QLatin1String("relative") ? stateHome : home + '/' + stateHome)
                    .toLocal8Bit());
    setApplicationFolder(program);

    QCOMPARE(libraryFolder(), QFileInfo(libraryPath).path());
    const QString expected = listBeside ? program : home + QLatin1Char('/') + listFolder;
    QCOMPARE(lockListFolder(), expected);
    if (!listBeside) {
        QVERIFY(QFileInfo(expected).isDir());
        QCOMPARE(QFile::permissions(expected) & 0x00FF, QFileDevice::Permissions());
    }
}

QTEST_GUILESS_MAIN(tst_ApplicationFolder)
#include "tst_ApplicationFolder.moc"
