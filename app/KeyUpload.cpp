#include "KeyUpload.h"

#include "KeyFile.h"
#include "KeyRing.h"

#include <QDir>
#include <QFileInfo>

using Quorvane::KeyFile;
using Quorvane::KeyRing;
using Quorvane::MasterKey;

KeyUpload::KeyUpload(Quorvane::IQuorvane *library, QObject *parent)
    : QObject(parent)
    , m_library(library)
{
}

bool KeyUpload::start(const QByteArray &passphrase)
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
    const QByteArray name = "Encryption key [" + m_keyId + "]";
    const QByteArray path = fileName.toUtf8();
    const QByteArray content = "quorvane-key 1 " + m_keyId;
    Quorvane::EventNative event;
    event.name = name.constData();
    event.path = path.constData();
    event.content = content.constData();
    event.type = "text/plain";
    event.description = "The account's encryption key, wrapped by its passphrase";
    event.kind = 4; // the server's only
    event.access = 1; // the owner's alone
    if (m_library->addEvent(event, this) != Quorvane::Success) {
        m_folder.reset();
        return false;
    }
    return true;
}

void KeyUpload::OnFinished(int code, int)
{
    if (!running())
        return;
    m_folder.reset();
    bool ok = code == Quorvane::Success;
    if (ok) {
        const QString path = KeyRing::keyFilePath();
        QDir().mkpath(QFileInfo(path).absolutePath());
        ok = KeyFile::save(path, m_text)
            && m_library->unlockKey(m_passphrase.constData()) == Quorvane::KeyUnlocked;
    }
    m_passphrase.fill('\0');
    m_passphrase.clear();
    emit finished(ok, QString::fromLatin1(m_keyId));
}
