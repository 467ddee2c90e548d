#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace QuorvaneServer {

class AccountStore;
class LoginThrottle;

// Checks a user name and password. Argon2 is slow on purpose, and clients send
// the password with every request, so a successful check is remembered for a
// short time: by a keyed digest of the password, never the password itself,
// and only as long as the stored hash is unchanged (passwd and deluser act at
// once). Checks run one at a time, which bounds both memory and guessing, and
// each failure is counted by the throttle before the next check may begin.
class Authenticator
{
public:
    explicit Authenticator(AccountStore &accounts,
                           std::chrono::seconds remember = std::chrono::seconds(60));

    struct Outcome
    {
        // The user's id, or nullopt when the login is refused.
        std::optional<int64_t> user;
        // Seconds the throttle wants the client to wait; 0 when the password was checked.
        int retryAfter = 0;
    };
    // A login from address, counted by throttle.
    Outcome login(const std::string &user, const std::string &password, LoginThrottle &throttle,
                  const std::string &address);

private:
    using Digest = std::string;
    Digest digestOf(const std::string &user, const std::string &password) const;
    bool remembered(const std::string &user, const std::string &passwordHash, const Digest &digest,
                    std::chrono::steady_clock::time_point now);

    struct Remembered
    {
        Digest digest;
        std::string passwordHash;
        std::chrono::steady_clock::time_point until;
    };

    AccountStore &m_accounts;
    std::chrono::seconds m_remember;
    std::string m_key;
    std::string m_decoyHash;
    std::mutex m_cacheMutex;
    std::map<std::string, Remembered> m_cache;
    std::mutex m_checkMutex;
};

} // namespace QuorvaneServer
