#include "KeySetup.h"

#include "KeyEvent.h"
#include "KeyFile.h"
#include "KeyRing.h"
#include "LocalLayout.h"
#include "OwnerOnly.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>

using Quorvane::KeyEvent;
using Quorvane::KeyFile;
using Quorvane::KeyRing;
using Quorvane::LocalLayout;
using Quorvane::MasterKey;

KeySetup::KeySetup(Quorvane::IQuorvane *library, QObject *parent)
    : QObject(parent)
    , m_library(library)
{
}

bool KeySetup::lookUp()
{
    if (!m_library || running())
        return false;
    m_text.clear();
    return list(Step::Listing);
}

bool KeySetup::list(Step step)
{
    m_step = step;
    const qint64 midnight = QDate::currentDate().startOfDay().toSecsSinceEpoch();
    // Every day back to the first possible one: the library stops there.
    if (m_library->loadEvents(this, true, int(midnight / 86400) + 1, int(midnight), "", "", false)
        == Quorvane::Success)
        return true;
    m_step = Step::Idle;
    return false;
}

bool KeySetup::newestKey(int count, QByteArray *id, QByteArray *time, QByteArray *path,
                         const QByteArray &keyId)
{
    Quorvane::EventNative **events = m_library->getEventList();
    qint64 newest = -1;
    for (int i = 0; events && i < count; ++i) {
        const Quorvane::EventNative &event = *events[i];
        const QByteArray content(event.content ? event.content : "");
        const bool key = keyId.isEmpty() ? content.startsWith(KeyEvent::ContentPrefix)
                                         : content == KeyEvent::content(keyId);
        const QByteArray recorded(event.recordTime ? event.recordTime : "");
        if (!key || event.location == 0 || recorded.toLongLong() <= newest)
            continue;
        newest = recorded.toLongLong();
        *id = event.id ? event.id : "";
        *time = recorded;
        *path = event.path ? event.path : "";
    }
    return newest >= 0;
}

void KeySetup::OnFinished(int code, int count)
{
    const bool ok = code == Quorvane::Success;
    switch (m_step) {
    case Step::Idle:
        return;
    case Step::Listing: {
        QByteArray time, path;
        if (!ok || !newestKey(count, &m_fetchedId, &time, &path, {})) {
            m_step = Step::Idle;
            emit lookedUp(ok ? Found::None : Found::Unknown);
            return;
        }
        m_fetchedFile = QFile::encodeName(
            LocalLayout::eventFolder(QString::fromUtf8(m_library->getDataPath()), time, m_fetchedId)
            + QLatin1Char('/') + LocalLayout::storedCopyName(path));
        Quorvane::IdList ids;
        ids.append(m_fetchedId.constData());
        m_step = Step::Fetching;
        if (m_library->downloadEvents(ids, this) != Quorvane::Success)
            OnFinished(Quorvane::Failure, 0);
        return;
    }
    case Step::Fetching: {
        m_text = ok ? KeyFile::load(QFile::decodeName(m_fetchedFile)) : QByteArray();
        // The key lives in the state folder only, not among the events.
        Quorvane::IdList ids;
        ids.append(m_fetchedId.constData());
        m_library->deleteLocalEvents(ids);
        m_step = Step::Idle;
        emit lookedUp(m_text.isEmpty() ? Found::Unknown : Found::Key);
        return;
    }
    case Step::Sending:
        m_folder.reset();
        if (ok)
            endMaking(keep(m_text, m_passphrase) ? Made::Kept : Made::ServerOnly);
        else if (!list(Step::Checking)) // the answer may be lost, not the key
            endMaking(Made::Unknown);
        return;
    case Step::Checking: {
        QByteArray id, time, path;
        if (!ok)
            endMaking(Made::Unknown);
        else if (!newestKey(count, &id, &time, &path, m_keyId))
            endMaking(Made::NotSent);
        else
            endMaking(keep(m_text, m_passphrase) ? Made::Kept : Made::ServerOnly);
        return;
    }
    }
}

KeySetup::Adopted KeySetup::adopt(const QByteArray &passphrase)
{
    if (running() || m_text.isEmpty())
        return Adopted::NotKept;
    MasterKey key;
    switch (KeyFile::unwrap(m_text, passphrase, key)) {
    case KeyFile::Result::WrongPassphrase:
        return Adopted::WrongPassphrase;
    case KeyFile::Result::Malformed:
        return Adopted::Damaged;
    case KeyFile::Result::Unlocked:
        break;
    }
    return keep(m_text, passphrase) ? Adopted::Kept : Adopted::NotKept;
}

bool KeySetup::keep(const QByteArray &text, const QByteArray &passphrase)
{
    const QString path = KeyRing::keyFilePath();
    const QString folder = QFileInfo(path).absolutePath();
    Platform::OwnerOnly::makeFolder(folder);
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return KeyFile::save(path, text)
        && m_library->unlockKey(passphrase.constData()) == Quorvane::KeyUnlocked;
}

bool KeySetup::make(const QByteArray &passphrase)
{
    if (!m_library || running())
        return false;
    const MasterKey key = MasterKey::generate();
    m_text = KeyFile::wrap(key, passphrase);
    m_keyId = key.idHex();
    m_folder = std::make_unique<QTemporaryDir>();
    const QString fileName = m_folder->filePath(QStringLiteral("encryption.key"));
    if (m_text.isEmpty() || !m_folder->isValid() || !KeyFile::save(fileName, m_text)) {
        m_folder.reset();
        return false;
    }
    m_passphrase = passphrase;
    const KeyEvent event(m_keyId, fileName);
    m_step = Step::Sending;
    if (m_library->addEvent(event.native(), this) != Quorvane::Success) {
        m_step = Step::Idle;
        m_folder.reset();
        m_passphrase.fill('\0');
        m_passphrase.clear();
        return false;
    }
    return true;
}

void KeySetup::endMaking(Made outcome)
{
    m_step = Step::Idle;
    m_passphrase.fill('\0');
    m_passphrase.clear();
    m_text.clear();
    emit made(outcome, QString::fromLatin1(m_keyId));
}
