#pragma once

#include "MasterKey.h"

#include <QByteArray>
#include <QString>

namespace Quorvane {

// The master key wrapped by a key derived from a passphrase, as text:
//
//   quorvane-key 1
//   id <key id, 32 hex digits>
//   kdf argon2id13 <opslimit> <memlimit bytes> <salt, 32 hex digits>
//   wrapped <nonce, 48 hex digits> <XChaCha20-Poly1305 of the key, 96 hex digits>
//
// Every line before "wrapped" is the wrapping's associated data, so changed
// parameters or a changed id fail like a wrong passphrase would.
class KeyFile
{
public:
    struct Parameters
    {
        quint64 opsLimit;
        quint64 memLimit;
    };
    enum class Result { Unlocked, WrongPassphrase, Malformed };

    // libsodium's interactive limits: a second or less, 64 MiB.
    static Parameters defaultParameters();
    static QByteArray wrap(const MasterKey &key, const QByteArray &passphrase,
                           const Parameters &parameters = defaultParameters());
    // Limits beyond what any writer of ours uses are refused, so a key event
    // on the server cannot make a reader spend gigabytes or hours.
    static Result unwrap(const QByteArray &text, const QByteArray &passphrase, MasterKey &key);
    // The id written in the text, or empty when the text is not a key file.
    static QByteArray keyIdHex(const QByteArray &text);

    // Replaces the file at path whole, readable by its owner only.
    static bool save(const QString &path, const QByteArray &text);
    // The file's text; empty when it cannot be read.
    static QByteArray load(const QString &path);
};

} // namespace Quorvane
