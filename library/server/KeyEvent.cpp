#include "KeyEvent.h"

namespace Quorvane {

KeyEvent::KeyEvent(const QByteArray &keyIdHex, const QString &fileName)
    : m_name("Encryption key [" + keyIdHex + "]")
    , m_path(fileName.toUtf8())
    , m_content(content(keyIdHex))
{
    m_event.name = m_name.constData();
    m_event.path = m_path.constData();
    m_event.content = m_content.constData();
    m_event.type = "text/plain";
    m_event.description = "The account's encryption key, wrapped by its passphrase";
    m_event.kind = 4; // the server's only
    m_event.access = 1; // the owner's alone
}

QByteArray KeyEvent::content(const QByteArray &keyIdHex)
{
    return ContentPrefix + keyIdHex;
}

} // namespace Quorvane
