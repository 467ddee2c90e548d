#pragma once

#include <QByteArray>
#include <array>

namespace Quorvane {

// The account's random master key. The keys that seal file bytes and event
// fields are derived from it, one per purpose, so no two ciphers ever share a
// key; its id is derived too, so a key and its id cannot disagree.
class MasterKey
{
public:
    static constexpr int Size = 32;
    static constexpr int IdSize = 16;
    // FileBytes keys format 1's file streams; FileKeys is the key from which
    // format 2 derives each file's own key.
    enum class Purpose { FileBytes = 1, EventFields = 2, FileKeys = 3 };
    using Subkey = std::array<unsigned char, 32>;

    // A fresh key from the system's random source.
    static MasterKey generate();
    // Size bytes; anything else gives false.
    static bool fromBytes(const QByteArray &bytes, MasterKey &key);

    MasterKey();
    MasterKey(const MasterKey &other);
    MasterKey &operator=(const MasterKey &other);
    ~MasterKey();

    const unsigned char *data() const { return m_key.data(); }
    QByteArray id() const;
    QByteArray idHex() const { return id().toHex(); }
    Subkey subkey(Purpose purpose) const;

    // libsodium must be set up before any of its calls; safe to call often.
    static void setUpSodium();

private:
    std::array<unsigned char, Size> m_key {};
};

} // namespace Quorvane
