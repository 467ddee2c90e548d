#include "KeyRing.h"

#include "KeyFile.h"

#include <QDir>
#include <QFileInfo>
#include <QMutexLocker>

namespace Quorvane {

KeyRing &KeyRing::instance()
{
    static KeyRing ring;
    return ring;
}

QString KeyRing::keyFilePath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QLatin1String("/.local/state");
    return base + QLatin1String("/keycrate/encryption.key");
}

int KeyRing::unlock(const char *passphrase)
{
    if (!passphrase)
        return state();
    const QByteArray text = KeyFile::load(keyFilePath());
    if (text.isEmpty())
        return QFileInfo::exists(keyFilePath()) ? Unreadable : NoKey;
    MasterKey key;
    switch (KeyFile::unwrap(text, QByteArray(passphrase), key)) {
    case KeyFile::Result::Unlocked:
        break;
    case KeyFile::Result::WrongPassphrase:
        return WrongPassphrase;
    case KeyFile::Result::Malformed:
        return Unreadable;
    }
    QMutexLocker lock(&m_mutex);
    m_key = key;
    m_unlocked = true;
    return Unlocked;
}

KeyRing::State KeyRing::state()
{
    const QByteArray text = KeyFile::load(keyFilePath());
    if (text.isEmpty())
        return QFileInfo::exists(keyFilePath()) ? Locked : NoKey;
    const QByteArray id = KeyFile::keyIdHex(text);
    QMutexLocker lock(&m_mutex);
    return m_unlocked && !id.isEmpty() && id == m_key.idHex() ? Unlocked : Locked;
}

bool KeyRing::key(MasterKey &out)
{
    if (state() != Unlocked)
        return false;
    QMutexLocker lock(&m_mutex);
    out = m_key;
    return true;
}

void KeyRing::markSealed(const QByteArray &id)
{
    QMutexLocker lock(&m_mutex);
    m_sealed.insert(id);
}

bool KeyRing::isSealed(const QByteArray &id)
{
    QMutexLocker lock(&m_mutex);
    return m_sealed.contains(id);
}

} // namespace Quorvane
