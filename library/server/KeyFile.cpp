#include "KeyFile.h"

#include "OwnFile.h"

#include <QFile>
#include <QList>
#include <QTemporaryFile>
#include <sodium.h>

namespace Quorvane {

namespace {

constexpr char Magic[] = "quorvane-key 1";
constexpr char Kdf[] = "argon2id13";
constexpr int SaltSize = crypto_pwhash_SALTBYTES;
constexpr quint64 MaxOpsLimit = 16;
constexpr quint64 MaxMemLimit = quint64(1) << 30;

struct Parsed
{
    QByteArray associated;
    QByteArray idHex;
    KeyFile::Parameters parameters {};
    QByteArray salt;
    QByteArray nonce;
    QByteArray wrapped;
};

bool toNumber(const QByteArray &text, quint64 &value)
{
    bool ok = false;
    value = text.toULongLong(&ok, 10);
    return ok;
}

bool parse(const QByteArray &text, Parsed &out)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.size() < 4 || lines[0] != Magic)
        return false;
    const QList<QByteArray> id = lines[1].split(' ');
    const QList<QByteArray> kdf = lines[2].split(' ');
    const QList<QByteArray> wrapped = lines[3].split(' ');
    if (id.size() != 2 || id[0] != "id" || kdf.size() != 5 || kdf[0] != "kdf" || kdf[1] != Kdf
        || wrapped.size() != 3 || wrapped[0] != "wrapped")
        return false;
    out.idHex = id[1];
    out.salt = QByteArray::fromHex(kdf[4]);
    out.nonce = QByteArray::fromHex(wrapped[1]);
    out.wrapped = QByteArray::fromHex(wrapped[2]);
    if (!toNumber(kdf[2], out.parameters.opsLimit) || !toNumber(kdf[3], out.parameters.memLimit))
        return false;
    out.associated = lines[0] + '\n' + lines[1] + '\n' + lines[2] + '\n';
    return out.idHex.size() == 2 * MasterKey::IdSize && out.salt.size() == SaltSize
        && out.nonce.size() == crypto_aead_xchacha20poly1305_ietf_NPUBBYTES
        && out.wrapped.size() == MasterKey::Size + crypto_aead_xchacha20poly1305_ietf_ABYTES;
}

// The key that wraps the master key, from the passphrase.
bool deriveWrappingKey(const QByteArray &passphrase, const QByteArray &salt,
                       const KeyFile::Parameters &parameters, unsigned char *out)
{
    return crypto_pwhash(out, crypto_aead_xchacha20poly1305_ietf_KEYBYTES, passphrase.constData(),
                         quint64(passphrase.size()),
                         reinterpret_cast<const unsigned char *>(salt.constData()),
                         parameters.opsLimit, size_t(parameters.memLimit),
                         crypto_pwhash_ALG_ARGON2ID13)
        == 0;
}

const unsigned char *bytes(const QByteArray &value)
{
    return reinterpret_cast<const unsigned char *>(value.constData());
}

} // namespace

KeyFile::Parameters KeyFile::defaultParameters()
{
    return { crypto_pwhash_OPSLIMIT_INTERACTIVE, crypto_pwhash_MEMLIMIT_INTERACTIVE };
}

QByteArray KeyFile::wrap(const MasterKey &key, const QByteArray &passphrase,
                         const Parameters &parameters)
{
    MasterKey::setUpSodium();
    QByteArray salt(SaltSize, Qt::Uninitialized);
    randombytes_buf(salt.data(), size_t(salt.size()));
    QByteArray nonce(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES, Qt::Uninitialized);
    randombytes_buf(nonce.data(), size_t(nonce.size()));

    const QByteArray head = QByteArray(Magic) + "\nid " + key.idHex() + "\nkdf " + Kdf + ' '
        + QByteArray::number(parameters.opsLimit) + ' ' + QByteArray::number(parameters.memLimit)
        + ' ' + salt.toHex() + '\n';
    unsigned char wrappingKey[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
    if (!deriveWrappingKey(passphrase, salt, parameters, wrappingKey))
        return QByteArray(); // out of memory
    QByteArray sealed(MasterKey::Size + crypto_aead_xchacha20poly1305_ietf_ABYTES,
                      Qt::Uninitialized);
    crypto_aead_xchacha20poly1305_ietf_encrypt(
        reinterpret_cast<unsigned char *>(sealed.data()), nullptr, key.data(), MasterKey::Size,
        bytes(head), quint64(head.size()), nullptr, bytes(nonce), wrappingKey);
    sodium_memzero(wrappingKey, sizeof wrappingKey);
    return head + "wrapped " + nonce.toHex() + ' ' + sealed.toHex() + '\n';
}

KeyFile::Result KeyFile::unwrap(const QByteArray &text, const QByteArray &passphrase,
                                MasterKey &key)
{
    MasterKey::setUpSodium();
    Parsed parsed;
    if (!parse(text, parsed) || parsed.parameters.opsLimit < crypto_pwhash_OPSLIMIT_MIN
        || parsed.parameters.opsLimit > MaxOpsLimit
        || parsed.parameters.memLimit < crypto_pwhash_MEMLIMIT_MIN
        || parsed.parameters.memLimit > MaxMemLimit)
        return Result::Malformed;
    unsigned char wrappingKey[crypto_aead_xchacha20poly1305_ietf_KEYBYTES];
    if (!deriveWrappingKey(passphrase, parsed.salt, parsed.parameters, wrappingKey))
        return Result::Malformed;
    QByteArray plain(MasterKey::Size, Qt::Uninitialized);
    const int opened = crypto_aead_xchacha20poly1305_ietf_decrypt(
        reinterpret_cast<unsigned char *>(plain.data()), nullptr, nullptr, bytes(parsed.wrapped),
        quint64(parsed.wrapped.size()), bytes(parsed.associated), quint64(parsed.associated.size()),
        bytes(parsed.nonce), wrappingKey);
    sodium_memzero(wrappingKey, sizeof wrappingKey);
    MasterKey candidate;
    const bool ok = opened == 0 && MasterKey::fromBytes(plain, candidate);
    sodium_memzero(plain.data(), size_t(plain.size()));
    if (!ok)
        return Result::WrongPassphrase;
    // The id is authenticated with the wrapping, so a mismatch means a writer
    // that is not ours.
    if (candidate.idHex() != parsed.idHex)
        return Result::Malformed;
    key = candidate;
    return Result::Unlocked;
}

QByteArray KeyFile::keyIdHex(const QByteArray &text)
{
    Parsed parsed;
    return parse(text, parsed) ? parsed.idHex : QByteArray();
}

bool KeyFile::save(const QString &path, const QByteArray &text)
{
    // A temporary file is the owner's alone from its creation; it takes the
    // name only once whole.
    QTemporaryFile file(path + QLatin1String(".XXXXXX"));
    if (!file.open() || file.write(text) != text.size() || !file.flush())
        return false;
    QFile::remove(path);
    if (!file.rename(path))
        return false;
    file.setAutoRemove(false);
    return true;
}

QByteArray KeyFile::load(const QString &path)
{
    // Checked on the opened file, so nothing swapped in after a check is read.
    QFile file(path);
    // Quiet: the caller tells the user what a key that cannot be read means.
    std::string problem;
    if (!Platform::OwnFile::open(file, QIODevice::ReadOnly, Platform::OwnFile::Missing::Fail,
                                 &problem))
        return QByteArray();
    return file.read(64 * 1024);
}

} // namespace Quorvane
