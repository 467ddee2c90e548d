#include "MasterKey.h"

#include <sodium.h>
#include <stdexcept>

namespace Quorvane {

namespace {

// crypto_kdf contexts are eight bytes.
constexpr char IdContext[] = "qvkeyid_";
constexpr char FileContext[] = "qvfile__";
constexpr char FieldContext[] = "qvfield_";
constexpr char FileKeysContext[] = "qvfkeys_";

const char *contextOf(MasterKey::Purpose purpose)
{
    switch (purpose) {
    case MasterKey::Purpose::FileBytes:
        return FileContext;
    case MasterKey::Purpose::EventFields:
        return FieldContext;
    case MasterKey::Purpose::FileKeys:
        break;
    }
    return FileKeysContext;
}

} // namespace

void MasterKey::setUpSodium()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot be initialised");
}

MasterKey MasterKey::generate()
{
    setUpSodium();
    MasterKey key;
    crypto_kdf_keygen(key.m_key.data());
    return key;
}

bool MasterKey::fromBytes(const QByteArray &bytes, MasterKey &key)
{
    if (bytes.size() != Size)
        return false;
    std::copy(bytes.cbegin(), bytes.cend(), key.m_key.begin());
    return true;
}

MasterKey::MasterKey() = default;

MasterKey::MasterKey(const MasterKey &other) = default;

MasterKey &MasterKey::operator=(const MasterKey &other) = default;

MasterKey::~MasterKey()
{
    sodium_memzero(m_key.data(), m_key.size());
}

QByteArray MasterKey::id() const
{
    setUpSodium();
    QByteArray out(IdSize, Qt::Uninitialized);
    crypto_kdf_derive_from_key(reinterpret_cast<unsigned char *>(out.data()), IdSize, 0, IdContext,
                               m_key.data());
    return out;
}

MasterKey::Subkey MasterKey::subkey(Purpose purpose) const
{
    setUpSodium();
    Subkey out;
    crypto_kdf_derive_from_key(out.data(), out.size(), quint64(purpose), contextOf(purpose),
                               m_key.data());
    return out;
}

} // namespace Quorvane
