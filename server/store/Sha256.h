#pragma once

#include <cstddef>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace QuorvaneServer {

// SHA-256 over bytes that arrive piece by piece.
class Sha256
{
public:
    static constexpr size_t Size = 32;

    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void add(const char *data, size_t size);
    // The 32 raw bytes; the hash starts over afterwards.
    std::string finish();

    // "sha-256=:<base64>:", the form of a Repr-Digest field.
    static std::string reprDigest(const std::string &raw);

private:
    EVP_MD_CTX *m_context;
};

} // namespace QuorvaneServer
