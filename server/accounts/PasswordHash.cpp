#include "accounts/PasswordHash.h"

#include <sodium.h>
#include <stdexcept>

namespace QuorvaneServer {

namespace {

// Two passes over 19 MiB: the common recommendation for interactive logins, and
// small enough that the server's whole footprint stays well under 64 MiB.
constexpr unsigned long long Passes = 2;
constexpr size_t Memory = 19 * 1024 * 1024;

void startSodium()
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

} // namespace

std::string PasswordHash::make(const std::string &password)
{
    startSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), Passes, Memory,
                              crypto_pwhash_ALG_ARGON2ID13)
        != 0)
        throw std::runtime_error("out of memory while hashing a password");
    return hash;
}

bool PasswordHash::matches(const std::string &hash, const std::string &password)
{
    startSodium();
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

} // namespace QuorvaneServer
