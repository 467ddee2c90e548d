#include "KeyCommands.h"

#include "CommandLine.h"
#include "KeyEvent.h"
#include "KeyFile.h"
#include "KeyRing.h"
#include "LibraryBinding.h"
#include "OwnerOnly.h"
#include "Passphrase.h"
#include "Session.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdlib>

using Quorvane::KeyEvent;
using Quorvane::KeyFile;
using Quorvane::KeyRing;
using Quorvane::MasterKey;

namespace {

QByteArray bytes(const std::string &text)
{
    return QByteArray(text.data(), qsizetype(text.size()));
}

bool saveKeyFile(const QByteArray &text)
{
    const QString path = KeyRing::keyFilePath();
    Platform::OwnerOnly::makeFolder(QFileInfo(path).absolutePath());
    QFile::setPermissions(QFileInfo(path).absolutePath(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return KeyFile::save(path, text);
}

} // namespace

KeyCommands::KeyCommands(const CommandLine &line, Session &session, std::ostream &out,
                         std::ostream &err)
    : m_line(line)
    , m_session(session)
    , m_out(out)
    , m_err(err)
{
}

int KeyCommands::run()
{
    m_session.provideDataFolder();
    const std::string action = m_line.arguments().front();
    if (action == "init")
        return init();
    if (action == "fetch")
        return fetch();
    if (action == "passwd")
        return passwd();
    m_err << "quorvane key: say init, fetch or passwd\n";
    return 1;
}

int KeyCommands::fail(const std::string &message)
{
    m_err << "quorvane key: " << message << '\n';
    return Quorvane::Failure;
}

int KeyCommands::keyEvents(std::vector<EventRecord> *found)
{
    const int code = m_session.read(ReadQuery::everything(true));
    if (code != 0)
        return m_session.fail("cannot read the server's events", code, true);
    found->clear();
    for (const EventRecord &record : m_session.events())
        if (record.location != 0 && record.content.rfind(KeyEvent::ContentPrefix, 0) == 0)
            found->push_back(record);
    std::sort(found->begin(), found->end(), [](const EventRecord &a, const EventRecord &b) {
        return std::atoll(a.recordTime.c_str()) > std::atoll(b.recordTime.c_str());
    });
    return 0;
}

int KeyCommands::upload(const QByteArray &text, const QByteArray &idHex)
{
    QTemporaryDir folder;
    const QString fileName = folder.filePath(QStringLiteral("encryption.key"));
    if (!folder.isValid() || !KeyFile::save(fileName, text))
        return fail("cannot write the key for sending");
    const KeyEvent event(idHex, fileName);
    const int code = m_session.add(event.native(), true);
    return code == 0 ? 0 : m_session.fail("cannot send the key to the server", code, true);
}

int KeyCommands::removeOthers(const QByteArray &idHex, const std::string &keep)
{
    std::vector<EventRecord> events;
    int code = keyEvents(&events);
    if (code != 0)
        return code;
    std::vector<std::string> old;
    for (const EventRecord &record : events)
        if (record.id != keep && record.content == KeyEvent::content(idHex).toStdString())
            old.push_back(record.id);
    if (old.empty())
        return 0;
    code = m_session.run(&Quorvane::IQuorvane::deleteServerEvents, old);
    return code == 0 ? 0 : m_session.fail("cannot remove the old wrapping", code, true);
}

int KeyCommands::init()
{
    if (QFileInfo::exists(KeyRing::keyFilePath()))
        return fail("a key exists already (" + KeyRing::keyFilePath().toStdString()
                    + "): change its passphrase with quorvane key passwd");
    std::vector<EventRecord> existing;
    int code = keyEvents(&existing);
    if (code != 0)
        return code;
    if (!existing.empty())
        return fail("the server holds this account's key already: get it with quorvane key fetch");

    std::string passphrase, error;
    if (!Passphrase::readNew(std::getenv(Passphrase::FileVariable), &passphrase, &error))
        return fail(error);
    const MasterKey key = MasterKey::generate();
    const QByteArray text = KeyFile::wrap(key, bytes(passphrase));
    if (text.isEmpty())
        return fail("not enough memory to derive the key from the passphrase");
    // On the server first: a key kept only here would be lost with this disk.
    code = upload(text, key.idHex());
    if (code != 0) {
        // What broke may be the answer, not the key: the server is asked.
        std::vector<EventRecord> after;
        if (keyEvents(&after) != 0)
            return fail("the server could not tell whether it kept the key, so nothing was "
                        "written here. Once it answers, quorvane key fetch gets the key if it "
                        "did (with this passphrase); else run quorvane key init again");
        const std::string content = KeyEvent::content(key.idHex()).toStdString();
        if (std::none_of(after.begin(), after.end(),
                         [&content](const EventRecord &r) { return r.content == content; }))
            return code;
        m_err << "quorvane key: the server kept the key although its answer was lost\n";
    }
    if (!saveKeyFile(text))
        return fail("the key is on the server but cannot be written to "
                    + KeyRing::keyFilePath().toStdString()
                    + ": quorvane key fetch gets it once that can be written");
    m_out << "key " << key.idHex().toStdString() << '\n';
    m_err << "quorvane key: uploads are encrypted from now on. Without the passphrase "
             "nobody can read them, you included: losing it loses the backups.\n";
    return 0;
}

int KeyCommands::fetch()
{
    std::vector<EventRecord> events;
    int code = keyEvents(&events);
    if (code != 0)
        return code;
    if (events.empty())
        return fail("the server holds no key for this account (make one with quorvane key init)");
    const EventRecord newest = events.front();
    code = m_session.run(&Quorvane::IQuorvane::downloadEvents, { newest.id });
    if (code != 0)
        return m_session.fail("cannot fetch the key", code, true);
    const QDateTime time = QDateTime::fromSecsSinceEpoch(std::atoll(newest.recordTime.c_str()));
    const QString fetched = QString::fromStdString(LibraryBinding::dataPath(m_session.library()))
        + QLatin1Char('/') + time.toString(QStringLiteral("yyyy/MM/dd")) + QLatin1Char('/')
        + QString::fromStdString(newest.id) + QLatin1Char('/')
        + QString::fromStdString(newest.path.substr(newest.path.rfind('/') + 1));
    const QByteArray text = KeyFile::load(fetched);
    m_session.removeLocal({ newest.id });

    std::string passphrase, error;
    if (!Passphrase::read("Passphrase of the encryption key: ", true, &passphrase, &error))
        return fail(error);
    MasterKey key;
    switch (KeyFile::unwrap(text, bytes(passphrase), key)) {
    case KeyFile::Result::Unlocked:
        break;
    case KeyFile::Result::WrongPassphrase:
        return fail("wrong passphrase: nothing was written");
    case KeyFile::Result::Malformed:
        return fail("the server's key event is damaged: nothing was written");
    }
    if (!saveKeyFile(text))
        return fail("cannot write " + KeyRing::keyFilePath().toStdString());
    m_out << "key " << key.idHex().toStdString() << '\n';
    return 0;
}

int KeyCommands::passwd()
{
    const QByteArray text = KeyFile::load(KeyRing::keyFilePath());
    if (text.isEmpty())
        return fail("there is no key here: quorvane key init or quorvane key fetch");
    std::string old, error;
    if (!Passphrase::read("Current passphrase: ", true, &old, &error))
        return fail(error);
    MasterKey key;
    if (KeyFile::unwrap(text, bytes(old), key) != KeyFile::Result::Unlocked)
        return fail("wrong passphrase: the key is unchanged");
    std::string passphrase;
    const std::string newFile = m_line.value("new-passphrase-file");
    if (!Passphrase::readNew(newFile.c_str(), &passphrase, &error))
        return fail(error);
    const QByteArray rewrapped = KeyFile::wrap(key, bytes(passphrase));
    if (rewrapped.isEmpty())
        return fail("not enough memory to derive the key from the passphrase");
    std::vector<EventRecord> before;
    int code = keyEvents(&before);
    if (code == 0)
        code = upload(rewrapped, key.idHex());
    if (code != 0)
        return code;
    if (!saveKeyFile(rewrapped))
        return fail("cannot write " + KeyRing::keyFilePath().toStdString());
    // The old wrappings go: whoever learnt the old passphrase must not find one.
    std::vector<EventRecord> after;
    code = keyEvents(&after);
    std::string added;
    for (const EventRecord &record : after)
        if (std::none_of(before.begin(), before.end(),
                         [&record](const EventRecord &b) { return b.id == record.id; }))
            added = record.id;
    if (code == 0 && !added.empty())
        code = removeOthers(key.idHex(), added);
    if (code != 0)
        return code;
    m_out << "key " << key.idHex().toStdString() << '\n';
    return 0;
}
