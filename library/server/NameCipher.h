#pragma once

#include "CipherBinding.h"
#include "MasterKey.h"

#include <QByteArray>

namespace Quorvane {

// An event's telling fields sealed together with XChaCha20-Poly1305 into one
// line of text that any field of the server can carry:
//
//   "quorvane-sealed 1 " + base64url(version 1 | key id (16) | nonce (24) |
//                                    ciphertext of the fields)
//
// The fields are five length-prefixed texts (4 bytes, little-endian, then the
// bytes): name, path, type, content, description. The associated data is the
// version, the key id and the binding, so a sealed line moved to another
// event or account does not open.
class NameCipher
{
public:
    static constexpr int Version = 1;
    static constexpr int NonceSize = 24;
    static constexpr const char *Prefix = "quorvane-sealed 1 ";

    struct Fields
    {
        QByteArray name;
        QByteArray path;
        QByteArray type;
        QByteArray content;
        QByteArray description;
    };
    enum class Result { Opened, WrongKey, Damaged };

    static bool isSealed(const QByteArray &text);
    static QByteArray seal(const Fields &fields, const MasterKey &key,
                           const CipherBinding &binding);
    // With a given nonce: for known answers only, a nonce must never repeat.
    static QByteArray seal(const Fields &fields, const MasterKey &key, const CipherBinding &binding,
                           const QByteArray &nonce);
    static Result open(const QByteArray &text, const MasterKey &key, const CipherBinding &binding,
                       Fields &fields);
};

} // namespace Quorvane
