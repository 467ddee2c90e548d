#include "GcmChunkCipher.h"

#include <algorithm>
#include <openssl/evp.h>
#include <sodium.h>

namespace Quorvane {

namespace {

constexpr int NonceSize = 12;
constexpr int CounterSize = NonceSize - 1;
// Sets the file key's derivation apart from any other use of BLAKE2b.
constexpr char FileKeyContext[] = "quorvane file key, format 2";

void nonceOf(qint64 index, bool last, unsigned char *nonce)
{
    quint64 counter = quint64(index);
    for (int i = CounterSize - 1; i >= 0; --i) {
        nonce[i] = (unsigned char)(counter & 0xff);
        counter >>= 8;
    }
    nonce[CounterSize] = last ? 1 : 0;
}

} // namespace

GcmChunkCipher::GcmChunkCipher(const Layout &layout, const QByteArray &header,
                               const CipherBinding &binding)
    : ChunkCipher(layout, header, header, binding)
{
}

GcmChunkCipher::~GcmChunkCipher()
{
    EVP_CIPHER_CTX_free(m_context); // cleanses the key schedule
}

bool GcmChunkCipher::start(const MasterKey &key, bool sealing)
{
    MasterKey::setUpSodium();
    const QByteArray input = QByteArray(FileKeyContext) + header().right(SaltSize);
    MasterKey::Subkey subkey = key.subkey(MasterKey::Purpose::FileKeys);
    unsigned char fileKey[32];
    crypto_generichash(fileKey, sizeof fileKey,
                       reinterpret_cast<const unsigned char *>(input.constData()),
                       quint64(input.size()), subkey.data(), subkey.size());
    sodium_memzero(subkey.data(), subkey.size());
    m_context = EVP_CIPHER_CTX_new();
    const bool keyed = m_context
        && (sealing ? EVP_EncryptInit_ex(m_context, EVP_aes_256_gcm(), nullptr, fileKey, nullptr)
                    : EVP_DecryptInit_ex(m_context, EVP_aes_256_gcm(), nullptr, fileKey, nullptr))
            == 1;
    sodium_memzero(fileKey, sizeof fileKey);
    return keyed;
}

std::unique_ptr<ChunkCipher> GcmChunkCipher::sealing(const MasterKey &key,
                                                     const CipherBinding &binding, int chunkSize,
                                                     const QByteArray &salt)
{
    MasterKey::setUpSodium();
    QByteArray header = prefix(Version, key, chunkSize);
    if (salt.isEmpty()) {
        QByteArray random(SaltSize, Qt::Uninitialized);
        randombytes_buf(random.data(), size_t(random.size()));
        header += random;
    } else if (salt.size() == SaltSize) {
        header += salt;
    } else {
        return nullptr;
    }
    std::unique_ptr<GcmChunkCipher> out(
        new GcmChunkCipher({ Version, HeaderSize, chunkSize, Overhead }, header, binding));
    if (!out->start(key, true))
        return nullptr;
    return out;
}

std::unique_ptr<ChunkCipher> GcmChunkCipher::opening(const Layout &layout, const QByteArray &header,
                                                     const MasterKey &key,
                                                     const CipherBinding &binding)
{
    std::unique_ptr<GcmChunkCipher> out(new GcmChunkCipher(layout, header, binding));
    if (!out->start(key, false))
        return nullptr;
    return out;
}

bool GcmChunkCipher::seal(qint64 index, bool last, const unsigned char *plain, qint64 size,
                          unsigned char *out)
{
    unsigned char nonce[NonceSize];
    nonceOf(index, last, nonce);
    int written = 0, tail = 0;
    // The key stays; a new nonce starts the chunk afresh.
    return size <= chunkSize()
        && EVP_EncryptInit_ex(m_context, nullptr, nullptr, nullptr, nonce) == 1
        && EVP_EncryptUpdate(m_context, nullptr, &written,
                             reinterpret_cast<const unsigned char *>(associated().constData()),
                             int(associated().size()))
        == 1
        && EVP_EncryptUpdate(m_context, out, &written, plain, int(size)) == 1
        && EVP_EncryptFinal_ex(m_context, out + written, &tail) == 1 && written + tail == size
        && EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_GCM_GET_TAG, Overhead, out + size) == 1;
}

bool GcmChunkCipher::openAs(qint64 index, bool last, const unsigned char *sealed, qint64 size,
                            unsigned char *plain)
{
    const qint64 plainSize = size - Overhead;
    unsigned char nonce[NonceSize];
    nonceOf(index, last, nonce);
    unsigned char tag[Overhead];
    std::copy(sealed + plainSize, sealed + size, tag);
    int written = 0, tail = 0;
    return EVP_DecryptInit_ex(m_context, nullptr, nullptr, nullptr, nonce) == 1
        && EVP_DecryptUpdate(m_context, nullptr, &written,
                             reinterpret_cast<const unsigned char *>(associated().constData()),
                             int(associated().size()))
        == 1
        && EVP_DecryptUpdate(m_context, plain, &written, sealed, int(plainSize)) == 1
        && EVP_CIPHER_CTX_ctrl(m_context, EVP_CTRL_GCM_SET_TAG, Overhead, tag) == 1
        && EVP_DecryptFinal_ex(m_context, plain + written, &tail) == 1;
}

bool GcmChunkCipher::open(const unsigned char *sealed, qint64 size, unsigned char *plain,
                          bool &last)
{
    if (size < Overhead || size - Overhead > chunkSize())
        return false;
    // Whether a whole chunk is the last one only its tag can tell: it
    // authenticates under one of the two nonces at most. A short one must
    // be the last.
    last = size - Overhead < chunkSize() || !openAs(m_next, false, sealed, size, plain);
    if (last && !openAs(m_next, true, sealed, size, plain))
        return false;
    ++m_next;
    return true;
}

} // namespace Quorvane
