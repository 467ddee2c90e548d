#include "accounts/AccountCommand.h"

#include "accounts/PasswordHash.h"
#include "store/AccountStore.h"
#include "store/DataFolder.h"
#include "store/Database.h"
#include "store/FolderStore.h"
#include "store/ObjectStore.h"
#include "store/Schema.h"
#include "store/Transaction.h"

#include <exception>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace QuorvaneServer {

namespace {

constexpr size_t MaxNameSize = 256;
constexpr size_t MaxPasswordSize = 4096;

const char *nameProblem(const std::string &name)
{
    if (name.size() > MaxNameSize)
        return "the user name is longer than 256 bytes";
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f)
            return "the user name holds a control character";
    }
    return nullptr;
}

} // namespace

AccountCommand::AccountCommand(const CommandLine &line, FILE *input)
    : m_line(line)
    , m_input(input)
{
}

bool AccountCommand::readLine(const char *prompt, std::string &line)
{
    const int fd = ::fileno(m_input);
    termios saved;
    const bool terminal = ::isatty(fd) && ::tcgetattr(fd, &saved) == 0;
    if (terminal) {
        std::fprintf(stderr, "%s", prompt);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    line.clear();
    int c;
    while ((c = std::fgetc(m_input)) != EOF && c != '\n' && line.size() <= MaxPasswordSize)
        line += static_cast<char>(c);
    if (terminal) {
        ::tcsetattr(fd, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return c != EOF || !line.empty();
}

bool AccountCommand::readPassword(std::string &password)
{
    if (!readLine("Password: ", password)) {
        std::fprintf(stderr, "quorvane-server: no password on standard input\n");
        return false;
    }
    if (password.empty() || password.size() > MaxPasswordSize) {
        std::fprintf(stderr, "quorvane-server: the password must have 1 to %zu bytes\n",
                     MaxPasswordSize);
        return false;
    }
    if (::isatty(::fileno(m_input))) {
        std::string again;
        if (!readLine("Password again: ", again) || again != password) {
            std::fprintf(stderr, "quorvane-server: the passwords differ\n");
            return false;
        }
    }
    return true;
}

int AccountCommand::run()
{
    const std::string &name = m_line.userName;
    if (const char *problem = nameProblem(name)) {
        std::fprintf(stderr, "quorvane-server: %s\n", problem);
        return 1;
    }
    try {
        DataFolder folder(m_line.dataFolder);
        const std::string location = m_line.databaseLocation();
        const auto db = Database::open(location);
        Schema::prepare(*db, location);
        std::unique_ptr<FileStore> store;
        if (m_line.storage.empty())
            store = std::make_unique<FolderStore>(folder);
        else
            store = std::make_unique<ObjectStore>(folder, m_line.storage, m_line.s3Settings());
        AccountStore accounts(*db, *store);
        const char *quoted = name.c_str();
        // Each state is checked before the password is read, and again by the change itself.
        const auto exists = [quoted] {
            std::fprintf(stderr, "quorvane-server: user \"%s\" exists already\n", quoted);
            return 1;
        };
        const auto missing = [quoted] {
            std::fprintf(stderr, "quorvane-server: there is no user \"%s\"\n", quoted);
            return 1;
        };

        switch (m_line.mode) {
        case CommandLine::Mode::AddUser: {
            if (accounts.find(name))
                return exists();
            std::string password;
            if (!readPassword(password))
                return 1;
            const std::string hash = PasswordHash::make(password);
            // Tried again only where the first try stored nothing: a second
            // add would find the first one's account.
            if (!Transaction::retried([&] { return accounts.add(name, hash); }))
                return exists();
            std::printf("Added user \"%s\".\n", quoted);
            return 0;
        }
        case CommandLine::Mode::SetPassword: {
            if (!accounts.find(name))
                return missing();
            std::string password;
            if (!readPassword(password))
                return 1;
            const std::string hash = PasswordHash::make(password);
            if (!Transaction::retried([&] { return accounts.setPasswordHash(name, hash); }, true))
                return missing();
            std::printf("Changed the password of \"%s\".\n", quoted);
            return 0;
        }
        case CommandLine::Mode::DeleteUser: {
            size_t events = 0;
            if (!Transaction::retried([&] { return accounts.remove(name, &events); }))
                return missing();
            std::printf("Removed user \"%s\" and %zu events.\n", quoted, events);
            return 0;
        }
        case CommandLine::Mode::ListUsers:
            for (const AccountStore::Summary &user : accounts.list())
                std::printf("%s\t%llu events\t%llu bytes\n", user.name.c_str(),
                            static_cast<unsigned long long>(user.events),
                            static_cast<unsigned long long>(user.bytes));
            return 0;
        default:
            return 1;
        }
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quorvane-server: %s\n", error.what());
        return 1;
    }
}

} // namespace QuorvaneServer
