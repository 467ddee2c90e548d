#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace QuorvaneServer {

class Database;
class FileStore;

// The users table: names and Argon2id password hashes.
class AccountStore
{
public:
    AccountStore(Database &db, const FileStore &files);

    struct Account
    {
        int64_t id = 0;
        std::string passwordHash;
    };
    std::optional<Account> find(const std::string &name);
    // False when the name is taken.
    bool add(const std::string &name, const std::string &passwordHash);
    // False when there is no such user.
    bool setPasswordHash(const std::string &name, const std::string &passwordHash);
    struct Summary
    {
        std::string name;
        uint64_t events = 0;
        uint64_t bytes = 0;
    };
    // Every user with the number and total size of their events, by name.
    std::vector<Summary> list();
    // Removes the user with all events and files; false when there is no such user.
    bool remove(const std::string &name, size_t *removedEvents = nullptr);

private:
    Database &m_db;
    const FileStore &m_files;
};

} // namespace QuorvaneServer
