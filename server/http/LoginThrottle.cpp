#include "http/LoginThrottle.h"

#include <algorithm>
#include <cstdint>
#include <sodium.h>
#include <stdexcept>

namespace QuorvaneServer {

namespace {

// Bounds the memory an attacker with many addresses or names can claim.
constexpr size_t RecordLimit = 100000;

} // namespace

std::string LoginThrottle::nameKey(const std::string &name, const std::string &address)
{
    crypto_generichash_state state;
    crypto_generichash_init(&state, nullptr, 0, crypto_generichash_BYTES);
    const uint64_t addressSize = address.size();
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(&addressSize),
                              sizeof addressSize);
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(address.data()),
                              address.size());
    crypto_generichash_update(&state, reinterpret_cast<const unsigned char *>(name.data()),
                              name.size());
    std::string key(crypto_generichash_BYTES, '\0');
    crypto_generichash_final(&state, reinterpret_cast<unsigned char *>(key.data()), key.size());
    return key;
}

LoginThrottle::LoginThrottle(Settings settings)
    : m_settings(settings)
{
    if (sodium_init() < 0)
        throw std::runtime_error("libsodium cannot start");
}

int LoginThrottle::wait(const Record *record, Clock::time_point now) const
{
    if (!record || record->blockedUntil <= now)
        return 0;
    // Rounded up: the last fraction of a second is still a refusal.
    return static_cast<int>(
        std::chrono::ceil<std::chrono::seconds>(record->blockedUntil - now).count());
}

int LoginThrottle::refusal(const std::string &name, const std::string &address)
{
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto byName = m_names.find(nameKey(name, address));
    const auto byAddress = m_addresses.find(address);
    const int one = wait(byName == m_names.end() ? nullptr : &byName->second, now);
    const int all = wait(byAddress == m_addresses.end() ? nullptr : &byAddress->second, now);
    return one > all ? one : all;
}

void LoginThrottle::count(Record &record, size_t threshold, Clock::time_point now)
{
    record.lastSeen = now;
    auto &failures = record.failures;
    failures.push_back(now);
    failures.erase(failures.begin(),
                   std::find_if(failures.begin(), failures.end(), [&](Clock::time_point failure) {
                       return failure + m_settings.window > now;
                   }));
    if (failures.size() < threshold)
        return;
    auto delay = m_settings.firstDelay;
    for (unsigned i = 0; i < record.strikes && delay < m_settings.longestDelay; ++i)
        delay *= 2;
    if (delay > m_settings.longestDelay)
        delay = m_settings.longestDelay;
    ++record.strikes;
    record.blockedUntil = now + delay;
    // The next failure after the interval strikes again, at once.
    while (!failures.empty() && failures.size() >= threshold)
        failures.erase(failures.begin());
    failures.push_back(now);
}

void LoginThrottle::failed(const std::string &name, const std::string &address)
{
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_names.size() + m_addresses.size() >= RecordLimit)
        prune(now);
    count(m_names[nameKey(name, address)], m_settings.perName, now);
    count(m_addresses[address], m_settings.perAddress, now);
}

void LoginThrottle::succeeded(const std::string &name, const std::string &address)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_names.erase(nameKey(name, address));
}

void LoginThrottle::prune(Clock::time_point now)
{
    const auto forgotten = [&](const Record &record) {
        return record.blockedUntil <= now && record.lastSeen + m_settings.window <= now;
    };
    for (auto *records : { &m_names, &m_addresses }) {
        for (auto entry = records->begin(); entry != records->end();)
            entry = forgotten(entry->second) ? records->erase(entry) : std::next(entry);
    }
    // Still full: an attack from very many addresses. Forgetting beats
    // growing without bound; the per-address counts go last.
    if (m_names.size() + m_addresses.size() >= RecordLimit)
        m_names.clear();
    if (m_addresses.size() >= RecordLimit)
        m_addresses.clear();
}

} // namespace QuorvaneServer
