#include "store/Sha256.h"

#include <new>
#include <openssl/evp.h>

namespace QuorvaneServer {

Sha256::Sha256()
    : m_context(EVP_MD_CTX_new())
{
    if (!m_context || EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr) != 1)
        throw std::bad_alloc();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context);
}

void Sha256::add(const char *data, size_t size)
{
    EVP_DigestUpdate(m_context, data, size);
}

std::string Sha256::finish()
{
    unsigned char raw[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(m_context, raw, &size);
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char *>(raw), size);
}

std::string Sha256::reprDigest(const std::string &raw)
{
    std::string encoded(4 * ((raw.size() + 2) / 3) + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(encoded.data()),
                                     reinterpret_cast<const unsigned char *>(raw.data()),
                                     static_cast<int>(raw.size()));
    encoded.resize(static_cast<size_t>(size));
    return "sha-256=:" + encoded + ":";
}

} // namespace QuorvaneServer
