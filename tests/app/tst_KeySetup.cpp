#include "FaultRelay.h"
#include "IQuorvane.h"
#include "InProcessKeycrate.h"
#include "KeyFile.h"
#include "KeyRing.h"
#include "LibrarySettings.h"
#include "MessageBoxes.h"
#include "MyQApplication.h"
#include "ReferenceServer.h"
#include "TheManager.h"

#include <QCheckBox>
#include <QDateTime>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUuid>
#include <algorithm>

// "Encrypt my backups" with the real library against the reference server,
// through a relay that cuts the connection where the test says: one key per
// account, and a key that went up or not is never kept here the other way.

using Platform::MessageBoxes;
using Quorvane::KeyFile;

namespace {

constexpr int Timeout = 60000;
const QByteArray Passphrase = "two machines, one key";

} // namespace

class tst_KeySetup : public QObject
{
    Q_OBJECT

public:
    explicit tst_KeySetup(MyQApplication *application)
        : m_window(application->mainWindow())
        , m_application(application)
    {
    }

private slots:
    void init();
    void cleanup();
    void aKeyOnTheServerIsFetchedNotMadeAgain();
    void aCutWhileTheKeyGoesUpIsSettled_data();
    void aCutWhileTheKeyGoesUpIsSettled();

private:
    QCheckBox *encrypt() const { return m_window->findChild<QCheckBox *>("encryptCheckBox"); }
    // Clicks the box; waits for the box that tells how it ended.
    MessageBoxes::Box clickAndWait();
    int serverKeys() const;

    TheManager *m_window;
    MyQApplication *m_application;
    std::unique_ptr<ReferenceServer> m_server;
    std::unique_ptr<FaultRelay> m_relay;
    std::unique_ptr<QTemporaryDir> m_data;
    QList<MessageBoxes::Box> m_boxes;
    QList<QByteArray> m_passphrases;
};

void tst_KeySetup::init()
{
    QFile::remove(Quorvane::KeyRing::keyFilePath());
    m_boxes.clear();
    m_passphrases.clear();
    MessageBoxes::setAnswerer([this](const MessageBoxes::Box &box) {
        m_boxes.append(box);
        if (box.entered && !m_passphrases.isEmpty())
            *box.entered = QString::fromUtf8(m_passphrases.takeFirst());
        return box.kind == MessageBoxes::Kind::Question ? QMessageBox::Yes : QMessageBox::Ok;
    });
    m_server = std::make_unique<ReferenceServer>();
    QVERIFY2(m_server->start(), qPrintable(m_server->failure()));
    m_relay = std::make_unique<FaultRelay>(quint16(QUrl(m_server->url()).port()));
    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(m_relay->port());
    LibrarySettings::setServerUrl(url);
    m_data = std::make_unique<QTemporaryDir>();
    m_application->quorvane()->setDataPath(m_data->path().toUtf8().constData());
    m_window->findChild<QTabWidget *>("tabWidget")->setCurrentIndex(2);
    m_window->findChild<QLineEdit *>("userEdit")->setText(ReferenceServer::User);
    m_window->findChild<QLineEdit *>("passwordEdit")->setText(ReferenceServer::Password);
    m_window->findChild<QLineEdit *>("serverUrlEdit")->setText(url);
    m_window->SaveSettings();
    m_window->setInterface(m_application->quorvane());
    QVERIFY(!encrypt()->isChecked());
}

void tst_KeySetup::cleanup()
{
    QTRY_VERIFY_WITH_TIMEOUT(encrypt()->isEnabled(), Timeout);
    MessageBoxes::setAnswerer({});
    QFile::remove(Quorvane::KeyRing::keyFilePath());
    m_relay.reset();
    m_server.reset();
    m_data.reset();
}

MessageBoxes::Box tst_KeySetup::clickAndWait()
{
    const qsizetype before = m_boxes.size();
    encrypt()->click();
    const auto ended = [&] {
        return std::any_of(m_boxes.cbegin() + before, m_boxes.cend(), [](const auto &box) {
            return box.kind != MessageBoxes::Kind::Question
                && box.kind != MessageBoxes::Kind::Passphrase;
        });
    };
    [&] { QTRY_VERIFY_WITH_TIMEOUT(ended(), Timeout); }();
    return m_boxes.isEmpty() ? MessageBoxes::Box {} : m_boxes.last();
}

int tst_KeySetup::serverKeys() const
{
    const QList<ReferenceServer::StoredEvent> events = m_server->events();
    return int(std::count_if(events.cbegin(), events.cend(), [](const auto &event) {
        return event.name.startsWith("Encryption key [");
    }));
}

void tst_KeySetup::aKeyOnTheServerIsFetchedNotMadeAgain()
{
    // As another machine left it.
    const Quorvane::MasterKey key = Quorvane::MasterKey::generate();
    const QByteArray wrapped = KeyFile::wrap(key, Passphrase);
    QVERIFY(m_server->upload(QUuid::createUuid().toByteArray(QUuid::WithoutBraces),
                             "Encryption key [" + key.idHex() + "]", "encryption.key", wrapped,
                             QDateTime::currentSecsSinceEpoch() - 60,
                             "quorvane-key 1 " + key.idHex()));

    m_passphrases = { "not the passphrase" };
    MessageBoxes::Box told = clickAndWait();
    QVERIFY(m_boxes.first().text.contains("another machine"));
    QVERIFY2(told.text.contains("Wrong passphrase"), qPrintable(told.text));
    QVERIFY(!QFile::exists(Quorvane::KeyRing::keyFilePath()));
    QVERIFY(!encrypt()->isChecked());

    m_passphrases = { Passphrase };
    told = clickAndWait();
    QCOMPARE(told.kind, MessageBoxes::Kind::Information);
    QCOMPARE(KeyFile::load(Quorvane::KeyRing::keyFilePath()), wrapped);
    QCOMPARE(m_application->quorvane()->unlockKey(nullptr), int(Quorvane::KeyUnlocked));
    QVERIFY(encrypt()->isChecked());
    QCOMPARE(serverKeys(), 1);
}

void tst_KeySetup::aCutWhileTheKeyGoesUpIsSettled_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("every");
    QTest::addColumn<int>("keysThere");
    QTest::addColumn<QString>("told");
    QTest::newRow("sent cut") << QByteArray("quorvupload") << QByteArray() << true << 0
                              << "nothing was changed";
    QTest::newRow("answer cut") << QByteArray("OK saved") << QByteArray() << true << 1
                                << "encrypted from now on";
    QTest::newRow("answer and the check cut")
        << QByteArray("HTTP/1.1 200") << QByteArray("quorvupload") << true << 1
        << "connection broke";
}

void tst_KeySetup::aCutWhileTheKeyGoesUpIsSettled()
{
    QFETCH(QByteArray, pattern);
    QFETCH(QByteArray, after);
    QFETCH(bool, every);
    QFETCH(int, keysThere);
    QFETCH(QString, told);
    m_relay->arm(pattern, FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding, after, every);
    m_passphrases = { Passphrase, Passphrase };
    const MessageBoxes::Box end = clickAndWait();
    QVERIFY(m_relay->fired());
    QVERIFY(m_boxes.first().text.contains("Losing the passphrase loses the backups"));
    QVERIFY2(end.text.contains(told), qPrintable(end.text));
    QCOMPARE(serverKeys(), keysThere);
    const bool kept = QFile::exists(Quorvane::KeyRing::keyFilePath());
    QCOMPARE(kept, end.kind == MessageBoxes::Kind::Information);
    QCOMPARE(encrypt()->isChecked(), kept);
    if (kept || keysThere == 0)
        return;

    // Once the server answers, the next try finds the key that went up.
    m_relay->arm("never sent", FaultRelay::Fault::Cut, FaultRelay::When::BeforeForwarding);
    m_passphrases = { Passphrase };
    QCOMPARE(clickAndWait().kind, MessageBoxes::Kind::Information);
    QVERIFY(encrypt()->isChecked());
    QCOMPARE(serverKeys(), 1);
}

int main(int argc, char **argv)
{
    InProcessKeycrate::prepareFolder({});
    return InProcessKeycrate::exec<tst_KeySetup>(argc, argv);
}

#include "tst_KeySetup.moc"
