#include "CommandLine.h"

#include "store/Database.h"

#include <limits>
#include <vector>

namespace QuorvaneServer {

namespace {

bool parseSize(const std::string &text, uint64_t &size)
{
    size_t digits = 0;
    uint64_t value = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (value > std::numeric_limits<uint64_t>::max() / 10 - 1)
            return false;
        value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
        ++digits;
    }
    if (digits == 0)
        return false;
    const std::string suffix = text.substr(digits);
    int shift = 0;
    if (suffix == "K" || suffix == "k")
        shift = 10;
    else if (suffix == "M")
        shift = 20;
    else if (suffix == "G")
        shift = 30;
    else if (suffix == "T")
        shift = 40;
    else if (!suffix.empty())
        return false;
    if (shift > 0 && value > (std::numeric_limits<uint64_t>::max() >> shift))
        return false;
    size = value << shift;
    return size > 0;
}

bool parseListen(const std::string &text, std::string &host, int &port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(digits);
    return port <= 65535;
}

} // namespace

CommandLine CommandLine::parse(int argc, const char *const *argv)
{
    CommandLine line;
    std::vector<std::string> words(argv + 1, argv + argc);
    size_t i = 0;
    const auto invalid = [&line](const std::string &error) {
        line.mode = Mode::Invalid;
        line.error = error;
        return line;
    };

    const std::string command = words.empty() ? std::string() : words[0];
    const std::string action = words.size() > 1 ? words[1] : std::string();
    if (command == "account") {
        if (action == "add")
            line.mode = Mode::AddUser;
        else if (action == "passwd")
            line.mode = Mode::SetPassword;
        else if (action == "remove")
            line.mode = Mode::DeleteUser;
        else if (action == "list")
            line.mode = Mode::ListUsers;
        else
            return invalid("account needs add, passwd, remove or list");
        i = 2;
    } else if (command == "adduser" || command == "passwd" || command == "deluser") {
        // The first server's spellings, kept for the scripts that use them.
        line.mode = command == "adduser" ? Mode::AddUser
            : command == "passwd"        ? Mode::SetPassword
                                         : Mode::DeleteUser;
        i = 1;
    } else if (command == "migrate") {
        line.mode = Mode::Migrate;
        i = 1;
    } else if (command == "copy") {
        line.mode = Mode::Copy;
        i = 1;
    }
    const bool namesUser = line.mode == Mode::AddUser || line.mode == Mode::SetPassword
        || line.mode == Mode::DeleteUser;
    if (namesUser) {
        const std::string what = command == "account" ? "account " + action : command;
        if (words.size() <= i || words[i].empty() || words[i].rfind("--", 0) == 0)
            return invalid(what + " needs a user name");
        line.userName = words[i++];
    }
    bool listenGiven = false;
    bool maxBodyGiven = false;
    for (; i < words.size(); ++i) {
        std::string flag = words[i];
        std::string value;
        bool hasValue = false;
        const size_t equals = flag.find('=');
        if (flag.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = flag.substr(equals + 1);
            flag = flag.substr(0, equals);
            hasValue = true;
        }
        if (flag == "--help" || flag == "-h") {
            line.mode = Mode::Help;
            return line;
        }
        if (flag != "--listen" && flag != "--data" && flag != "--max-body" && flag != "--database"
            && flag != "--from" && flag != "--to")
            return invalid("unknown argument \"" + words[i] + "\"");
        if (!hasValue) {
            if (i + 1 >= words.size())
                return invalid(flag + " needs a value");
            value = words[++i];
        }
        if (flag == "--database" || flag == "--from" || flag == "--to") {
            if (const char *problem = Database::locationProblem(value))
                return invalid(flag + ": " + problem);
            (flag == "--database"   ? line.database
                 : flag == "--from" ? line.copyFrom
                                    : line.copyTo)
                = value;
        } else if (flag == "--data") {
            if (value.empty())
                return invalid("--data needs a folder");
            line.dataFolder = value;
        } else if (flag == "--listen") {
            if (!parseListen(value, line.host, line.port))
                return invalid("--listen needs HOST:PORT, not \"" + value + "\"");
            listenGiven = true;
        } else {
            if (!parseSize(value, line.maxBody))
                return invalid("--max-body needs a size in bytes, not \"" + value + "\"");
            maxBodyGiven = true;
        }
    }
    if (line.dataFolder.empty())
        return invalid("--data DIR is missing");
    if (line.mode != Mode::Serve && (listenGiven || maxBodyGiven))
        return invalid("--listen and --max-body belong to the server, not to other commands");
    if (line.mode == Mode::Copy && (line.copyFrom.empty() || line.copyTo.empty()))
        return invalid("copy needs --from DB and --to DB");
    if (line.mode == Mode::Copy && !line.database.empty())
        return invalid("copy takes --from and --to, not --database");
    if (line.mode != Mode::Copy && (!line.copyFrom.empty() || !line.copyTo.empty()))
        return invalid("--from and --to belong to copy");
    return line;
}

std::string CommandLine::databaseLocation() const
{
    return database.empty() ? "sqlite:" + dataFolder + "/events.sqlite" : database;
}

std::string CommandLine::usage()
{
    return "Usage:\n"
           "  quorvane-server [--listen HOST:PORT] --data DIR [--database DB]\n"
           "                  [--max-body BYTES]\n"
           "  quorvane-server account add|passwd|remove NAME --data DIR [--database DB]\n"
           "  quorvane-server account list --data DIR [--database DB]\n"
           "  quorvane-server migrate --data DIR [--database DB]\n"
           "  quorvane-server copy --from DB --to DB --data DIR\n"
           "  quorvane-server --help\n"
           "\n"
           "Serves the backup protocol of Quorvane over HTTP.\n"
           "\n"
           "  --listen HOST:PORT  address to listen on (default 127.0.0.1:8477);\n"
           "                      port 0 picks a free port and logs it\n"
           "  --data DIR          folder of the database and the stored files\n"
           "                      (created when missing)\n"
           "  --database DB       sqlite:PATH (default: sqlite:DIR/events.sqlite) or\n"
           "                      postgresql://USER@HOST/NAME, a libpq URI; several\n"
           "                      servers may share one PostgreSQL database and DIR\n"
           "  --max-body BYTES    largest request body accepted, with an optional\n"
           "                      K, M, G or T suffix (default 16G)\n"
           "\n"
           "account add and passwd read the password from the first line of\n"
           "standard input (asking twice on a terminal). account remove removes the\n"
           "user with all of their events and files (adduser, passwd and deluser\n"
           "are the older names). migrate brings a database made by an older\n"
           "server to the current schema. copy copies accounts and events into an\n"
           "empty database (the files stay in DIR) and checks every file against\n"
           "its hash. SIGTERM or SIGINT stops the server after the\n"
           "requests in progress.\n";
}

} // namespace QuorvaneServer
