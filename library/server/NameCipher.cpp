#include "NameCipher.h"

#include <sodium.h>

namespace Quorvane {

namespace {

constexpr QByteArray::Base64Options Encoding
    = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;
constexpr int Abytes = crypto_aead_xchacha20poly1305_ietf_ABYTES;
constexpr int HeadSize = 1 + MasterKey::IdSize + NameCipher::NonceSize;

const unsigned char *bytes(const QByteArray &value)
{
    return reinterpret_cast<const unsigned char *>(value.constData());
}

QByteArray associatedData(const QByteArray &keyId, const CipherBinding &binding)
{
    return QByteArray("quorvane-fields") + char(NameCipher::Version) + keyId + binding.bytes();
}

void appendField(QByteArray &out, const QByteArray &value)
{
    const quint32 size = quint32(value.size());
    for (int shift = 0; shift < 32; shift += 8)
        out += char((size >> shift) & 0xff);
    out += value;
}

bool takeField(const QByteArray &in, qsizetype &at, QByteArray &value)
{
    if (in.size() - at < 4)
        return false;
    quint32 size = 0;
    for (int i = 0; i < 4; ++i)
        size |= quint32(quint8(in.at(at + i))) << (8 * i);
    at += 4;
    if (quint64(in.size() - at) < size)
        return false;
    value = in.mid(at, qsizetype(size));
    at += qsizetype(size);
    return true;
}

} // namespace

bool NameCipher::isSealed(const QByteArray &text)
{
    return text.startsWith(Prefix);
}

QByteArray NameCipher::seal(const Fields &fields, const MasterKey &key,
                            const CipherBinding &binding)
{
    MasterKey::setUpSodium();
    QByteArray nonce(NonceSize, Qt::Uninitialized);
    randombytes_buf(nonce.data(), size_t(nonce.size()));
    return seal(fields, key, binding, nonce);
}

QByteArray NameCipher::seal(const Fields &fields, const MasterKey &key,
                            const CipherBinding &binding, const QByteArray &nonce)
{
    MasterKey::setUpSodium();
    QByteArray plain;
    for (const QByteArray *field :
         { &fields.name, &fields.path, &fields.type, &fields.content, &fields.description })
        appendField(plain, *field);
    const QByteArray keyId = key.id();
    const QByteArray associated = associatedData(keyId, binding);
    QByteArray sealed(plain.size() + Abytes, Qt::Uninitialized);
    MasterKey::Subkey subkey = key.subkey(MasterKey::Purpose::EventFields);
    crypto_aead_xchacha20poly1305_ietf_encrypt(reinterpret_cast<unsigned char *>(sealed.data()),
                                               nullptr, bytes(plain), quint64(plain.size()),
                                               bytes(associated), quint64(associated.size()),
                                               nullptr, bytes(nonce), subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    sodium_memzero(plain.data(), size_t(plain.size()));
    const QByteArray whole = char(Version) + keyId + nonce + sealed;
    return Prefix + whole.toBase64(Encoding);
}

NameCipher::Result NameCipher::open(const QByteArray &text, const MasterKey &key,
                                    const CipherBinding &binding, Fields &fields)
{
    MasterKey::setUpSodium();
    if (!isSealed(text))
        return Result::Damaged;
    const auto decoded = QByteArray::fromBase64Encoding(
        text.mid(qsizetype(qstrlen(Prefix))), Encoding | QByteArray::AbortOnBase64DecodingErrors);
    const QByteArray &whole = decoded.decoded;
    if (!decoded || whole.size() < HeadSize + Abytes || whole.at(0) != char(Version))
        return Result::Damaged;
    const QByteArray keyId = whole.mid(1, MasterKey::IdSize);
    if (keyId != key.id())
        return Result::WrongKey;
    const QByteArray nonce = whole.mid(1 + MasterKey::IdSize, NonceSize);
    const QByteArray associated = associatedData(keyId, binding);
    QByteArray plain(whole.size() - HeadSize - Abytes, Qt::Uninitialized);
    MasterKey::Subkey subkey = key.subkey(MasterKey::Purpose::EventFields);
    const int opened = crypto_aead_xchacha20poly1305_ietf_decrypt(
        reinterpret_cast<unsigned char *>(plain.data()), nullptr, nullptr, bytes(whole) + HeadSize,
        quint64(whole.size() - HeadSize), bytes(associated), quint64(associated.size()),
        bytes(nonce), subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    if (opened != 0)
        return Result::Damaged;
    Fields out;
    qsizetype at = 0;
    for (QByteArray *field : { &out.name, &out.path, &out.type, &out.content, &out.description })
        if (!takeField(plain, at, *field))
            return Result::Damaged;
    if (at != plain.size())
        return Result::Damaged;
    fields = out;
    return Result::Opened;
}

} // namespace Quorvane
