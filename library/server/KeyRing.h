#pragma once

#include "MasterKey.h"

#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QString>

namespace Quorvane {

// The account's master key once unlocked, shared by every connection of the
// process. The passphrase only passes through: the key file holds the key
// wrapped, and the unwrapped key lives in this process alone.
class KeyRing
{
public:
    enum State { Unlocked = 0, NoKey = 1, Locked = 2, WrongPassphrase = 3, Unreadable = 4 };

    static KeyRing &instance();
    // $XDG_STATE_HOME/keycrate/encryption.key (~/.local/state by default).
    static QString keyFilePath();

    // With a null passphrase only tells the state; else unwraps the key file.
    int unlock(const char *passphrase);
    // Unlocked while the key file holds the unlocked key; Locked when it
    // holds another or none was unlocked; NoKey without a key file.
    State state();
    // The unlocked key, when state() is Unlocked.
    bool key(MasterKey &out);

    // Events the server listed as sealed: their files must come back
    // encrypted, so a server cannot pass off plain bytes in their place.
    void markSealed(const QByteArray &id);
    bool isSealed(const QByteArray &id);

private:
    QMutex m_mutex;
    bool m_unlocked = false;
    MasterKey m_key;
    QSet<QByteArray> m_sealed;
};

} // namespace Quorvane
