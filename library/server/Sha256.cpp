#include "Sha256.h"

#include <openssl/evp.h>

namespace Quorvane {

Sha256::Sha256()
    : m_context(EVP_MD_CTX_new())
{
    reset();
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(m_context);
}

void Sha256::reset()
{
    EVP_DigestInit_ex(m_context, EVP_sha256(), nullptr);
}

void Sha256::add(const char *data, size_t size)
{
    EVP_DigestUpdate(m_context, data, size);
}

QByteArray Sha256::digest() const
{
    EVP_MD_CTX *copy = EVP_MD_CTX_new();
    QByteArray out(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (EVP_MD_CTX_copy_ex(copy, m_context)
        && EVP_DigestFinal_ex(copy, reinterpret_cast<unsigned char *>(out.data()), &length))
        out.resize(int(length));
    else
        out.clear();
    EVP_MD_CTX_free(copy);
    return out;
}

} // namespace Quorvane
