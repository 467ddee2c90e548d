#include "http/Authenticator.h"

#include "accounts/PasswordHash.h"
#include "http/LoginThrottle.h"
#include "store/AccountStore.h"

#include <sodium.h>
#include <stdexcept>

namespace QuorvaneServer {

namespace {

constexpr size_t CacheLimit = 4096;

} // namespace

Authenticator::Authenticator(AccountStore &accounts, std::chrono::seconds remember)
    : m_accounts(accounts)
    , m_remember(remember)
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
    m_key.resize(crypto_generichash_KEYBYTES);
    randombytes_buf(m_key.data(), m_key.size());
}

Authenticator::Digest Authenticator::digestOf(const std::string &user,
                                              const std::string &password) const
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, reinterpret_cast<const unsigned char *>(m_key.data()),
                            m_key.size(), crypto_generichash_BYTES);
    const uint64_t userSize = user.size();
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(&userSize),
                              sizeof userSize);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(user.data()),
                              user.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(password.data()),
                              password.size());
    Digest digest(crypto_generichash_BYTES, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(digest.data()),
                             digest.size());
    return digest;
}

bool Authenticator::remembered(const std::string &user, const std::string &passwordHash,
                               const Digest &digest, std::chrono::steady_clock::time_point now)
{
    std::lock_guard<std::mutex> lock(m_cacheMutex);
    const auto found = m_cache.find(user);
    return found != m_cache.end() && found->second.until > now
        && found->second.passwordHash == passwordHash
        && sodium_memcmp(found->second.digest.data(), digest.data(), digest.size()) == 0;
}

Authenticator::Outcome Authenticator::login(const std::string &user, const std::string &password,
                                            LoginThrottle &throttle, const std::string &address)
{
    Outcome outcome;
    // Refused before hashing: a throttled guess costs no Argon2.
    outcome.retryAfter = throttle.refusal(user, address);
    if (outcome.retryAfter > 0)
        return outcome;
    const auto account = m_accounts.find(user);
    const Digest digest = digestOf(user, password);
    const auto now = std::chrono::steady_clock::now();
    if (account && remembered(user, account->passwordHash, digest, now)) {
        throttle.succeeded(user, address);
        outcome.user = account->id;
        return outcome;
    }

    std::lock_guard<std::mutex> check(m_checkMutex);
    // Many requests of one client arriving at once waited here for the first
    // one's check: they need no Argon2 of their own.
    if (account && remembered(user, account->passwordHash, digest, now)) {
        throttle.succeeded(user, address);
        outcome.user = account->id;
        return outcome;
    }
    // Asked again in the check's own turn: the guesses that waited for it
    // see every failure counted before them, so no more than the threshold
    // are checked however many arrive at once.
    outcome.retryAfter = throttle.refusal(user, address);
    if (outcome.retryAfter > 0)
        return outcome;
    bool matches = false;
    if (account) {
        matches = PasswordHash::matches(account->passwordHash, password);
    } else {
        // An unknown name costs as much as a wrong password: no hint which names exist.
        if (m_decoyHash.empty())
            m_decoyHash = PasswordHash::make("decoy");
        PasswordHash::matches(m_decoyHash, password);
    }
    if (!matches) {
        throttle.failed(user, address);
        return outcome;
    }
    throttle.succeeded(user, address);

    std::lock_guard<std::mutex> lock(m_cacheMutex);
    if (m_cache.size() >= CacheLimit) {
        for (auto entry = m_cache.begin(); entry != m_cache.end();)
            entry = entry->second.until <= now ? m_cache.erase(entry) : std::next(entry);
        if (m_cache.size() >= CacheLimit)
            m_cache.clear();
    }
    m_cache[user] = Remembered { digest, account->passwordHash, now + m_remember };
    outcome.user = account->id;
    return outcome;
}

} // namespace QuorvaneServer
