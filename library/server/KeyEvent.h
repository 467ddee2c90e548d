#pragma once

#include "EventNative.h"

#include <QByteArray>
#include <QString>

namespace Quorvane {

// The event that keeps an account's wrapped key on the server, made and
// recognised alike by keycrate and quorvane.
class KeyEvent
{
public:
    static constexpr const char *ContentPrefix = "quorvane-key 1 ";

    KeyEvent(const QByteArray &keyIdHex, const QString &fileName);
    KeyEvent(const KeyEvent &) = delete;
    KeyEvent &operator=(const KeyEvent &) = delete;

    // What the event's content says for this key id.
    static QByteArray content(const QByteArray &keyIdHex);
    // Valid while this object lives.
    const EventNative &native() const { return m_event; }

private:
    QByteArray m_name;
    QByteArray m_path;
    QByteArray m_content;
    EventNative m_event;
};

} // namespace Quorvane
