#include "ConfigCommand.h"

#include "CommandLine.h"
#include "LibraryBinding.h"
#include "RecordFormat.h"
#include "SharedSettings.h"
#include "Terminal.h"

#include <cstdlib>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A whole decimal number within [minimum, maximum].
bool parseNumber(const std::string &text, long long minimum, long long maximum, long long *value)
{
    if (text.empty() || text.size() > 12)
        return false;
    const std::size_t digits = text[0] == '-' ? 1 : 0;
    if (digits == text.size() || text.find_first_not_of("0123456789", digits) != std::string::npos)
        return false;
    *value = std::atoll(text.c_str());
    return *value >= minimum && *value <= maximum;
}

std::string absolute(const std::string &path)
{
    if (path.empty() || path[0] == '/')
        return path;
    char folder[PATH_MAX];
    if (!::getcwd(folder, sizeof folder))
        return path;
    std::string joined = std::string(folder) + "/" + path;
    if (joined.size() > 2 && joined.compare(joined.size() - 2, 2, "/.") == 0)
        joined.resize(joined.size() - 2);
    return joined;
}

struct NumberKey
{
    const char *key;
    long long minimum;
    long long maximum;
    long long fallback;
};

// The server connection's settings, read by the library as numbers.
const NumberKey NumberKeys[] = {
    { "server_timeout", 1, 86400, 60 },
    { "upload_limit_kbps", 0, 100000000, 0 },
    { "download_limit_kbps", 0, 100000000, 0 },
};

const NumberKey *numberKey(const std::string &key)
{
    for (const NumberKey &candidate : NumberKeys)
        if (key == candidate.key)
            return &candidate;
    return nullptr;
}

} // namespace

const char *const ConfigCommand::Keys[] = {
    "data_path",  "refresh_days",   "user",           "password",          "default_access",
    "server_url", "server_ca_file", "server_timeout", "upload_limit_kbps", "download_limit_kbps",
};

ConfigCommand::ConfigCommand(const CommandLine &line, Quorvane::IQuorvane *library,
                             std::ostream &out, std::ostream &err)
    : m_line(line)
    , m_library(library)
    , m_out(out)
    , m_err(err)
{
}

int ConfigCommand::usage(const std::string &message)
{
    m_err << "quorvane config: " << RecordFormat::escaped(message)
          << "\nTry quorvane config --help\n";
    return 1;
}

int ConfigCommand::run()
{
    const std::vector<std::string> &arguments = m_line.arguments();
    if (m_line.has("password-stdin")) {
        if (arguments.size() > 1 || (arguments.size() == 1 && arguments[0] != "password"))
            return usage("--password-stdin sets the password and nothing else");
        return saved("password", setPassword());
    }
    if (arguments.empty()) {
        for (const char *key : Keys)
            m_out << key << '=' << shown(key) << '\n';
        return 0;
    }
    const std::string &key = arguments[0];
    bool known = false;
    for (const char *candidate : Keys)
        known = known || key == candidate;
    if (!known)
        return usage("no setting \"" + key + "\"");
    if (arguments.size() == 1) {
        m_out << shown(key) << '\n';
        return 0;
    }
    if (key == "password")
        return usage("a password on the command line is seen by every user of this machine; "
                     "use quorvane config --password-stdin");
    return saved(key, set(key, arguments[1]));
}

int ConfigCommand::saved(const std::string &key, int code)
{
    if (code != 0)
        return code;
    const std::string failure = SharedSettings::unsaved();
    if (failure.empty())
        return 0;
    m_err << "quorvane config: " << key << " was not saved: " << failure << '\n';
    return Quorvane::Failure;
}

std::string ConfigCommand::shown(const std::string &key)
{
    if (key == "data_path")
        return LibraryBinding::dataPath(m_library);
    if (key == "refresh_days")
        return std::to_string(m_library->getRefreshDays());
    if (key == "user")
        return LibraryBinding::user(m_library);
    if (key == "password")
        return LibraryBinding::password(m_library).empty() ? "" : "********";
    if (key == "default_access") {
        switch (const int access = m_library->getDefaultAccess()) {
        case 2:
            return "everyone";
        case -2:
            return "friends";
        case 0:
            return "me";
        default:
            return std::to_string(access);
        }
    }
    if (key == "server_url")
        return SharedSettings::serverUrl();
    if (const NumberKey *number = numberKey(key))
        return SharedSettings::contains(key) ? SharedSettings::text(key)
                                             : std::to_string(number->fallback);
    return SharedSettings::text(key);
}

int ConfigCommand::set(const std::string &key, const std::string &value)
{
    long long number = 0;
    if (key == "data_path") {
        if (value.empty())
            return usage("data_path needs a folder");
        m_library->setDataPath(absolute(value).c_str());
    } else if (key == "refresh_days") {
        if (!parseNumber(value, 0, 100000, &number))
            return usage("refresh_days takes a number of days from 0 to 100000");
        m_library->setRefreshDays(int(number));
    } else if (key == "user") {
        // The password stays as it is.
        const std::string password = LibraryBinding::password(m_library);
        LibraryBinding::setCredentials(m_library, value, password);
    } else if (key == "default_access") {
        if (value == "everyone" || value == "2")
            m_library->setDefaultAccess(2);
        else if (value == "friends" || value == "-2")
            m_library->setDefaultAccess(-2);
        else if (value == "me" || value == "0")
            m_library->setDefaultAccess(0);
        else
            return usage("default_access takes everyone, friends or me");
    } else if (key == "server_url") {
        const bool web
            = value.compare(0, 7, "http://") == 0 || value.compare(0, 8, "https://") == 0;
        if (!value.empty() && (!web || value.find("://") + 3 >= value.size()))
            return usage("server_url takes an address such as https://backup.example.org:8477");
        std::string url = value;
        while (!url.empty() && url.back() == '/')
            url.pop_back();
        SharedSettings::setText(key, url);
    } else if (key == "server_ca_file") {
        const std::string file = absolute(value);
        if (!file.empty() && ::access(file.c_str(), R_OK) != 0)
            return usage("server_ca_file: cannot read " + file);
        // Every secure request reads it: a pipe or a device would stall them.
        struct stat info;
        if (!file.empty() && (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)))
            return usage("server_ca_file: " + file + " is not a regular file");
        SharedSettings::setText(key, file);
    } else if (const NumberKey *limits = numberKey(key)) {
        if (!parseNumber(value, limits->minimum, limits->maximum, &number))
            return usage(key + " takes a number from " + std::to_string(limits->minimum) + " to "
                         + std::to_string(limits->maximum));
        SharedSettings::setNumber(key, number);
    }
    return 0;
}

int ConfigCommand::setPassword()
{
    std::string password;
    if (!Terminal::readSecret("Password: ", &password))
        return usage("no password on standard input");
    const std::string user = LibraryBinding::user(m_library);
    LibraryBinding::setCredentials(m_library, user, password);
    // Not kept around longer than needed.
    password.assign(password.size(), '\0');
    return 0;
}
