#include "CommandLine.h"

#include "store/Database.h"
#include "store/ObjectStore.h"

#include <arpa/inet.h>
#include <cmath>
#include <cstdlib>
#include <fstream>
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

bool isAddress(const std::string &text)
{
    unsigned char bytes[16];
    return ::inet_pton(AF_INET, text.c_str(), bytes) == 1
        || ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
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
        { "--database-timeout", { seconds(limits.databaseTimeout), "seconds" } },
        { "--sweep-every", { seconds(line.sweepInterval), "seconds" } },
        { "--sweep-grace", { seconds(line.sweepGrace), "seconds" } },
        { "--login-failures", { count(throttle.perName), "a number" } },
        { "--login-failures-per-address", { count(throttle.perAddress), "a number" } },
        { "--login-window", { seconds(throttle.window), "seconds" } },
        { "--login-delay", { seconds(throttle.firstDelay), "seconds" } },
        { "--trusted-proxy",
          { [&limits](const std::string &v) {
               return isAddress(v)
                   && limits.trustedProxies.insert(v).first != limits.trustedProxies.end();
           },
            "an IP address" } },
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
        const bool database = flag == "--database" || flag == "--from" || flag == "--to";
        const std::map<std::string, std::string *> storageOptions
            = { { "--storage", &line.storage },
                { "--s3-endpoint", &line.s3Endpoint },
                { "--s3-region", &line.s3Region },
                { "--s3-keys", &line.s3Keys } };
        const auto storageOption = storageOptions.find(flag);
        const bool partSize = flag == "--s3-part-size";
        const bool lease = flag == "--s3-upload-lease";
        const bool buffers = flag == "--s3-buffers";
        if (flag != "--data" && !database && option == serverOptions.end()
            && storageOption == storageOptions.end() && !partSize && !lease && !buffers
            && flag != "--to-folder")
            return invalid("unknown argument \"" + words[i] + "\"");
        if (flag == "--to-folder") {
            if (hasValue)
                return invalid("--to-folder takes no value");
            line.toFolder = true;
            continue;
        }
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
        if (partSize) {
            // The store refuses smaller parts but the last.
            if (!parseSize(value, line.s3PartSize) || line.s3PartSize < (5u << 20))
                return invalid("--s3-part-size needs a size of at least 5M");
            continue;
        }
        if (buffers) {
            // Room for the downloads' smallest pieces and one upload's buffers.
            if (!parseSize(value, line.s3Buffers) || line.s3Buffers < (1u << 20))
                return invalid("--s3-buffers needs a size of at least 1M");
            continue;
        }
        if (lease) {
            if (!parseSeconds(value, line.s3UploadLease) || line.s3UploadLease.count() <= 0)
                return invalid("--s3-upload-lease needs seconds, not \"" + value + "\"");
            continue;
        }
        if (storageOption != storageOptions.end()) {
            if (value.empty())
                return invalid(flag + " needs a value");
            *storageOption->second = value;
            continue;
        }
        if (database) {
            if (const char *problem = Database::locationProblem(value))
                return invalid(flag + ": " + problem);
            (flag == "--database"   ? line.database
                 : flag == "--from" ? line.copyFrom
                                    : line.copyTo)
                = value;
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
        return invalid("--listen and the limits belong to the server, not to other commands");
    const bool copyFiles = line.mode == Mode::Copy && !line.storage.empty();
    if (copyFiles && (!line.copyFrom.empty() || !line.copyTo.empty()))
        return invalid("copy moves either the database (--from, --to) or the files (--storage)");
    if (line.toFolder && !copyFiles)
        return invalid("--to-folder goes with copy --storage");
    if (line.mode == Mode::Copy && !copyFiles && (line.copyFrom.empty() || line.copyTo.empty()))
        return invalid("copy needs --from DB and --to DB");
    if (line.mode == Mode::Copy && !copyFiles && !line.database.empty())
        return invalid("copy takes --from and --to, not --database");
    if (line.mode != Mode::Copy && (!line.copyFrom.empty() || !line.copyTo.empty()))
        return invalid("--from and --to belong to copy");
    std::string bucket;
    std::string prefix;
    if (!line.storage.empty() && !ObjectStore::parseLocation(line.storage, bucket, prefix))
        return invalid("--storage needs s3://BUCKET[/PREFIX], not \"" + line.storage + "\"");
    if (line.storage.empty() && (!line.s3Endpoint.empty() || !line.s3Keys.empty()))
        return invalid("--s3-endpoint and --s3-keys go with --storage");
    if (line.tlsCertificate.empty() != line.tlsKey.empty())
        return invalid("--tls-cert and --tls-key go together");
    if (limits.maxHead < 1024)
        return invalid("--max-head needs at least 1K");
    return line;
}

S3Client::Settings CommandLine::s3Settings() const
{
    S3Client::Settings settings;
    settings.region = s3Region;
    settings.partSize = s3PartSize;
    settings.uploadLease = s3UploadLease;
    settings.bufferBudget = s3Buffers;
    settings.endpoint
        = s3Endpoint.empty() ? "https://s3." + s3Region + ".amazonaws.com" : s3Endpoint;
    const std::string access = "AWS_ACCESS_KEY_ID";
    const std::string secret = "AWS_SECRET_ACCESS_KEY";
    if (s3Keys.empty()) {
        const char *key = std::getenv(access.c_str());
        const char *password = std::getenv(secret.c_str());
        settings.accessKey = key ? key : "";
        settings.secretKey = password ? password : "";
    } else {
        std::ifstream file(s3Keys);
        if (!file)
            throw std::runtime_error("cannot read " + s3Keys);
        for (std::string entry; std::getline(file, entry);) {
            const size_t equals = entry.find('=');
            const std::string name = entry.substr(0, equals);
            std::string value = equals == std::string::npos ? "" : entry.substr(equals + 1);
            // A file written elsewhere may end its lines in "\r\n".
            value.erase(value.find_last_not_of(" \t\r") + 1);
            if (name == access)
                settings.accessKey = value;
            else if (name == secret)
                settings.secretKey = value;
        }
    }
    if (settings.accessKey.empty() || settings.secretKey.empty())
        throw std::runtime_error("the keys of the object store are missing: set " + access + " and "
                                 + secret + " in the environment or in the file of --s3-keys");
    return settings;
}

std::string CommandLine::databaseLocation() const
{
    return database.empty() ? "sqlite:" + dataFolder + "/events.sqlite" : database;
}

std::string CommandLine::usage()
{
    return "Usage:\n"
           "  quorvane-server [--listen HOST:PORT] --data DIR [--database DB] [OPTIONS]\n"
           "  quorvane-server account add|passwd|remove NAME --data DIR [--database DB]\n"
           "  quorvane-server account list --data DIR [--database DB]\n"
           "  quorvane-server migrate --data DIR [--database DB] [--storage ...]\n"
           "  quorvane-server copy --from DB --to DB --data DIR\n"
           "  quorvane-server copy --storage s3://BUCKET[/PREFIX] [--to-folder] --data DIR\n"
           "                  [--database DB]\n"
           "  quorvane-server --help | --version\n"
           "\n"
           "Serves the backup protocol of Quorvane over HTTP, or HTTPS with --tls-cert.\n"
           "\n"
           "  --listen HOST:PORT     address to listen on (default 127.0.0.1:8477);\n"
           "                         port 0 picks a free port and logs it\n"
           "  --data DIR             folder of the database and the stored files\n"
           "                         (created when missing)\n"
           "  --database DB          sqlite:PATH (default: sqlite:DIR/events.sqlite) or\n"
           "                         postgresql://USER@HOST/NAME, a libpq URI; several\n"
           "                         servers may share one PostgreSQL database and DIR\n"
           "  --storage s3://BUCKET[/PREFIX]\n"
           "                         keep the stored files in an S3 object store instead\n"
           "                         of DIR (which then holds nothing of the events);\n"
           "                         a prefix belongs to one service\n"
           "  --s3-endpoint URL      the store (default https://s3.REGION.amazonaws.com)\n"
           "  --s3-region NAME       its region (default us-east-1)\n"
           "  --s3-part-size BYTES   files larger than this go up in parts of this\n"
           "                         size (default 16M, at least 5M)\n"
           "  --s3-buffers BYTES     memory that the buffers of all transfers to and from\n"
           "                         the store share; a transfer waits for its turn\n"
           "                         (default 32M, at least 1M)\n"
           "  --s3-upload-lease S    a server renews the lease of its multipart uploads\n"
           "                         while it runs; any server's sweep aborts those whose\n"
           "                         lease went this long unrenewed (default 300)\n"
           "  --s3-keys FILE         AWS_ACCESS_KEY_ID=... and AWS_SECRET_ACCESS_KEY=...\n"
           "                         lines (default: those variables of the environment)\n"
           "  --tls-cert FILE        certificate chain (PEM): serve HTTPS, TLS 1.2 and 1.3\n"
           "  --tls-key FILE         private key of the certificate (PEM)\n"
           "  --trusted-proxy ADDR   a load balancer in front (repeatable): the client's\n"
           "                         address is its X-Real-IP, and its connections are\n"
           "                         not limited per address\n"
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
           "  --max-connections N    connections at once (default 1024, fewer where the\n"
           "                         limit on open files cannot bear them); more get 503\n"
           "  --max-per-address N    connections at once from one address (default 64)\n"
           "  --threads N            network threads (default: one per processor)\n"
           "  --work-threads N       threads for passwords, the database and files (default 16)\n"
           "  --database-timeout S   a PostgreSQL statement answered no sooner counts as a\n"
           "                         lost connection, answered 503 (default 30)\n"
           "  --sweep-every S        remove what broken uploads and removals left behind\n"
           "                         this often, and at start (default 3600)\n"
           "  --sweep-grace S        an object of no event is left this long, as it may be\n"
           "                         on its way to another server's event (default 900)\n"
           "\n"
           "Failed logins (refused without checking the password, with Retry-After):\n"
           "  --login-failures N     failures of one name from one address (default 5) ...\n"
           "  --login-failures-per-address N\n"
           "                         ... or of any names from one address (default 20) ...\n"
           "  --login-window S       ... within this window (default 60) start a pause of\n"
           "  --login-delay S        this long (default 2), doubled with every new strike\n"
           "                         up to 15 minutes\n"
           "\n"
           "account add and passwd read the password from the first line of\n"
           "standard input (asking twice on a terminal). account remove removes the\n"
           "user with all of their events and files (adduser, passwd and deluser\n"
           "are the older names). migrate brings a database made by an older\n"
           "server to the current schema (reading files to hash from the bucket\n"
           "with --storage). copy copies accounts and events into an\n"
           "empty database (the files stay in DIR) and checks every file against\n"
           "its hash. copy --storage copies the files of the service from DIR into the\n"
           "bucket (or back with --to-folder) and checks each against its hash. SIGTERM or SIGINT "
           "stops the server after the requests in\n"
           "progress.\n";
}

} // namespace QuorvaneServer
