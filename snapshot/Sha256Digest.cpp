#include "Sha256Digest.h"

#include <openssl/evp.h>

Sha256Digest::Sha256Digest()
    : m_context(EVP_MD_CTX_new())
{
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
}

Sha256Digest::~Sha256Digest()
{
    EVP_MD_CTX_free(m_context);
}

void Sha256Digest::add(const char *data, std::size_t size)
{
    EVP_DigestUpdate(m_context, data, size);
}

std::string Sha256Digest::hex()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    std::string text;
    if (EVP_DigestFinal_ex(m_context, digest, &length) == 1) {
        static const char Digits[] = "0123456789abcdef";
        for (unsigned int i = 0; i < length; ++i) {
            text += Digits[digest[i] >> 4];
            text += Digits[digest[i] & 15];
        }
    }
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
    return text;
}

std::string Sha256Digest::of(const char *data, std::size_t size)
{
    Sha256Digest digest;
    digest.add(data, size);
    return digest.hex();
}
