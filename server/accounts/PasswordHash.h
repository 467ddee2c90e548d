#pragma once

#include <string>

namespace QuorvaneServer {

// Argon2id password hashes in libsodium's self-describing text form.
class PasswordHash
{
public:
    // Throws std::runtime_error when libsodium cannot work.
    static std::string make(const std::string &password);
    static bool matches(const std::string &hash, const std::string &password);
};

} // namespace QuorvaneServer
