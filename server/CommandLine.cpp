#include "CommandLine.h"

#include <cmath>
#include <functional>
#include <limits>
#include <map>
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

// Seconds, fractions allowed ("0.5"), more than 0 and at most a day.
bool parseSeconds(const std::string &text, std::chrono::milliseconds &duration)
{
    if (text.empty() || text.find_first_not_of("0123456789.") != std::string::npos)
        return false;
    char *end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (!end || *end != '\0' || !(seconds > 0) || seconds > 86400)
        return false;
    duration = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
    return true;
}

bool parseCount(const std::string &text, size_t &count)
{
    uint64_t value = 0;
    if (text.find_first_not_of("0123456789") != std::string::npos || !parseSize(text, value)
        || value > 1000000000)
        return false;
    count = static_cast<size_t>(value);
    return true;
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

    if (!words.empty()
        && (words[0] == "adduser" || words[0] == "passwd" || words[0] == "deluser")) {
        line.mode = words[0] == "adduser" ? Mode::AddUser
            : words[0] == "passwd"        ? Mode::SetPassword
                                          : Mode::DeleteUser;
        if (words.size() < 2 || words[1].empty() || words[1].rfind("--", 0) == 0)
            return invalid(words[0] + " needs a user name");
        line.userName = words[1];
        i = 2;
    }

    // Each option of the server: how it takes its value, and what it needs.
    using Setter = std::function<bool(const std::string &)>;
    ServerLimits &limits = line.limits;
    LoginThrottle::Settings &throttle = line.throttle;
    const auto seconds = [](std::chrono::milliseconds &target) {
        return Setter([&target](const std::string &v) { return parseSeconds(v, target); });
    };
    const auto count = [](size_t &target) {
        return Setter(
            [&target](const std::string &v) { return parseCount(v, target) && target > 0; });
    };
    const auto size = [](auto &target) {
        return Setter([&target](const std::string &v) {
            uint64_t value = 0;
            if (!parseSize(v, value))
                return false;
            target = static_cast<std::decay_t<decltype(target)>>(value);
            return true;
        });
    };
    size_t ioThreads = 0;
    size_t workThreads = limits.workThreads;
    const std::map<std::string, std::pair<Setter, const char *>> serverOptions = {
        { "--listen",
          { [&line](const std::string &v) { return parseListen(v, line.host, line.port); },
            "HOST:PORT" } },
        { "--max-body", { size(limits.maxBody), "a size in bytes" } },
        { "--max-head", { size(limits.maxHead), "a size in bytes" } },
        { "--head-timeout", { seconds(limits.headTimeout), "seconds" } },
        { "--idle-timeout", { seconds(limits.idleTimeout), "seconds" } },
        { "--min-rate", { size(limits.minRate), "bytes per second" } },
        { "--rate-window", { seconds(limits.rateWindow), "seconds" } },
        { "--linger", { seconds(limits.lingerTimeout), "seconds" } },
        { "--max-connections", { count(limits.maxConnections), "a number" } },
        { "--max-per-address", { count(limits.maxPerAddress), "a number" } },
        { "--threads", { count(ioThreads), "a number" } },
        { "--work-threads", { count(workThreads), "a number" } },
        { "--login-failures", { count(throttle.perName), "a number" } },
        { "--login-failures-per-address", { count(throttle.perAddress), "a number" } },
        { "--login-window", { seconds(throttle.window), "seconds" } },
        { "--login-delay", { seconds(throttle.firstDelay), "seconds" } },
        { "--tls-cert",
          { [&line](const std::string &v) { return !(line.tlsCertificate = v).empty(); },
            "a file" } },
        { "--tls-key",
          { [&line](const std::string &v) { return !(line.tlsKey = v).empty(); }, "a file" } },
    };

    bool serverOptionGiven = false;
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
        if (flag == "--version") {
            line.mode = Mode::Version;
            return line;
        }
        const auto option = serverOptions.find(flag);
        if (flag != "--data" && option == serverOptions.end())
            return invalid("unknown argument \"" + words[i] + "\"");
        if (!hasValue) {
            if (i + 1 >= words.size())
                return invalid(flag + " needs a value");
            value = words[++i];
        }
        if (flag == "--data") {
            if (value.empty())
                return invalid("--data needs a folder");
            line.dataFolder = value;
            continue;
        }
        if (!option->second.first(value))
            return invalid(flag + " needs " + option->second.second + ", not \"" + value + "\"");
        serverOptionGiven = true;
    }
    limits.ioThreads = static_cast<unsigned>(ioThreads);
    limits.workThreads = static_cast<unsigned>(workThreads);
    if (line.dataFolder.empty())
        return invalid("--data DIR is missing");
    if (line.mode != Mode::Serve && serverOptionGiven)
        return invalid("--listen and the limits belong to the server, not to account commands");
    if (line.tlsCertificate.empty() != line.tlsKey.empty())
        return invalid("--tls-cert and --tls-key go together");
    if (limits.maxHead < 1024)
        return invalid("--max-head needs at least 1K");
    return line;
}

std::string CommandLine::usage()
{
    return "Usage:\n"
           "  quorvane-server [--listen HOST:PORT] --data DIR [OPTIONS]\n"
           "  quorvane-server adduser NAME --data DIR\n"
           "  quorvane-server passwd NAME --data DIR\n"
           "  quorvane-server deluser NAME --data DIR\n"
           "  quorvane-server --help | --version\n"
           "\n"
           "Serves the backup protocol of Quorvane over HTTP, or HTTPS with --tls-cert.\n"
           "\n"
           "  --listen HOST:PORT     address to listen on (default 127.0.0.1:8477);\n"
           "                         port 0 picks a free port and logs it\n"
           "  --data DIR             folder of the database and the stored files\n"
           "                         (created when missing)\n"
           "  --tls-cert FILE        certificate chain (PEM): serve HTTPS, TLS 1.2 and 1.3\n"
           "  --tls-key FILE         private key of the certificate (PEM)\n"
           "\n"
           "Limits (sizes take a K, M, G or T suffix; times are seconds, fractions allowed):\n"
           "  --max-body BYTES       largest request body (default 16G)\n"
           "  --max-head BYTES       request line and headers together (default 16K);\n"
           "                         larger heads get 431 and the connection closes\n"
           "  --head-timeout S       a request head must be complete this long after its\n"
           "                         first byte (default 10)\n"
           "  --idle-timeout S       kept-alive connections close after this long without\n"
           "                         a request (default 15)\n"
           "  --min-rate BYTES       bodies in either direction move at least this many\n"
           "                         bytes a second (default 1K) ...\n"
           "  --rate-window S        ... measured over this window (default 30)\n"
           "  --linger S             how long the unread body of a refused request is\n"
           "                         drained before the connection closes (default 5)\n"
           "  --max-connections N    connections at once (default 1024); more get 503\n"
           "  --max-per-address N    connections at once from one address (default 64)\n"
           "  --threads N            network threads (default: one per processor)\n"
           "  --work-threads N       threads for passwords, the database and files (default 16)\n"
           "\n"
           "Failed logins (refused without checking the password, with Retry-After):\n"
           "  --login-failures N     failures of one name from one address (default 5) ...\n"
           "  --login-failures-per-address N\n"
           "                         ... or of any names from one address (default 20) ...\n"
           "  --login-window S       ... within this window (default 60) start a pause of\n"
           "  --login-delay S        this long (default 2), doubled with every new strike\n"
           "                         up to 15 minutes\n"
           "\n"
           "adduser and passwd read the password from the first line of standard\n"
           "input (asking twice on a terminal). deluser removes the user with all\n"
           "of their events and files. SIGTERM or SIGINT stops the server after the\n"
           "requests in progress.\n";
}

} // namespace QuorvaneServer
