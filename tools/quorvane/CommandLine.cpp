#include "CommandLine.h"

#include "RecordFormat.h"

#include <sstream>

namespace {

const CommandSpec::Option Json { "json", nullptr, "one JSON object per line" };
const CommandSpec::Option Access { "access", "everyone|friends|me",
                                   "who may see it on the server (default: the setting "
                                   "default_access)" };
const CommandSpec::Option ServerOnly { "server-only", nullptr,
                                       "send it to the server, keep no local copy" };
const CommandSpec::Option Days { "days", "N",
                                 "N days before the newest day too (default: refresh_days)" };
const CommandSpec::Option From { "from", "YYYY-MM-DD",
                                 "start at that day (up to today, or N days on with --days)" };

} // namespace

const CommandSpec::Option *CommandSpec::option(const std::string &optionName) const
{
    for (const Option &candidate : options)
        if (optionName == candidate.name)
            return &candidate;
    return nullptr;
}

const std::vector<CommandSpec> &CommandLine::commands()
{
    static const std::vector<CommandSpec> table = {
        { "config",
          "[KEY [VALUE]]",
          "show or set the settings shared with keycrate; password from stdin",
          { { "password-stdin", nullptr,
              "set the password from standard input (no echo on a terminal)" } },
          0,
          2 },
        { "key",
          "init|fetch|passwd",
          "make the encryption key, fetch it from the server, or change its passphrase",
          { { "new-passphrase-file", "FILE",
              "passwd: the new passphrase from FILE's first line" } },
          1,
          1 },
        { "list",
          "",
          "list the events of the local store, and of the server with --server",
          { { "server", nullptr, "the server's events too" },
            Days,
            From,
            { "all", nullptr, "every day there is" },
            { "search", "TEXT", "only events whose fields hold TEXT (any case)" },
            { "fields", "FIELDS", "where --search looks: name,description (default both)" },
            Json },
          0,
          0 },
        { "show",
          "ID",
          "show one event",
          { { "server", nullptr, "look on the server too" }, Json },
          1,
          1 },
        { "add",
          "FILE",
          "add a file event, stored here and sent to the server; prints its id",
          { { "title", "T", "its title (default: the file's name)" },
            { "description", "D", "its description" },
            Access,
            ServerOnly },
          1,
          1 },
        { "add-text",
          "TITLE [TEXT]",
          "add a text event (TEXT, or standard input); prints its id",
          { Access },
          1,
          2 },
        { "push", "ID...", "send local events to the server", {}, 1, -1 },
        { "pull", "ID...", "fetch server events into the local store", {}, 1, -1 },
        { "sync",
          "[ID...]",
          "push local-only, pull server-only events: the given, or the days'",
          { Days, From, { "all", nullptr, "every day there is" } },
          0,
          -1 },
        { "rm",
          "ID...",
          "delete events locally and on the server",
          { { "local", nullptr, "only the local copies" },
            { "server", nullptr, "only on the server" } },
          1,
          -1 },
        { "open", "ID", "open an event's file with the desktop's program for it", {}, 1, 1 },
        { "backup",
          "PATH...",
          "record files, folders and links as a snapshot, sending only what changed",
          { Access,
            { "no-snapshot", nullptr,
              "only send each file, as keycrate's upload does (no snapshot, links refused)" } },
          1,
          -1 },
        { "snapshots", "", "list the snapshots on the server, newest first", { Json }, 0, 0 },
        { "restore",
          "[SNAPSHOT|latest] [PATH...]",
          "recreate a snapshot's tree, or the given paths of it, under a folder",
          { { "to", "DIR", "the folder to restore into (needed)" },
            { "overwrite", nullptr, "replace files and links that are already there" } },
          0,
          -1 },
        { "versions", "PATH", "the snapshots that hold different contents of a file", {}, 1, 1 },
        { "forget",
          "",
          "remove snapshots outside a policy, then the contents only they named",
          { { "keep-last", "N", "keep the N newest snapshots" },
            { "keep-daily", "N", "keep the newest of each of the last N days with one" },
            { "keep-weekly", "N", "the same for weeks" },
            { "keep-monthly", "N", "the same for months" },
            { "dry-run", nullptr, "only tell what would be removed" } },
          0,
          0 },
        { "check",
          "",
          "check that every event a snapshot names is on the server",
          { { "read-data", nullptr, "fetch every file and check its SHA-256 too" } },
          0,
          0 },
    };
    return table;
}

const CommandSpec *CommandLine::find(const std::string &name)
{
    for (const CommandSpec &command : commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

std::string CommandLine::programHelp()
{
    std::ostringstream text;
    text << "Usage: quorvane [--quiet] COMMAND [OPTIONS] [ARGUMENTS]\n"
            "Events (files and texts) in the local store and on the backup server.\n\n"
            "Commands:\n";
    for (const CommandSpec &command : commands()) {
        std::string head = std::string("  ") + command.name;
        head.resize(12, ' ');
        text << head << command.summary << '\n';
    }
    text << "\nOptions:\n"
            "  -q, --quiet   no progress, no status texts\n"
            "  -h, --help    this text; with a command, that command's\n"
            "  --version     the program's and the library's version\n\n"
            "Exit codes: 0 success, 1 usage error, 99 failure, 100 login refused,\n"
            "101 cancelled (Ctrl+C).\n";
    return text.str();
}

std::string CommandLine::commandHelp(const CommandSpec &command)
{
    std::ostringstream text;
    text << "Usage: quorvane " << command.name;
    if (!command.options.empty())
        text << " [OPTIONS]";
    if (*command.arguments)
        text << ' ' << command.arguments;
    text << "\n" << command.summary << ".\n";
    if (!command.options.empty()) {
        text << "\nOptions:\n";
        for (const CommandSpec::Option &option : command.options) {
            std::string head = std::string("  --") + option.name;
            if (option.value)
                head += std::string(" ") + option.value;
            head += "  ";
            if (head.size() < 28)
                head.resize(28, ' ');
            text << head << option.help << '\n';
        }
    }
    return text.str();
}

std::string CommandLine::value(const std::string &option) const
{
    const auto found = m_options.find(option);
    return found == m_options.end() ? std::string() : found->second;
}

bool CommandLine::fail(const std::string &message)
{
    // Arguments may be file names from a glob: no escape reaches the terminal.
    m_error = RecordFormat::escaped(message);
    return false;
}

bool CommandLine::parse(const std::vector<std::string> &arguments)
{
    bool optionsEnded = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string &argument = arguments[i];
        // "-1" is a value (refresh_days may be set to it), not an option.
        const bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-'
            && !(argument[1] >= '0' && argument[1] <= '9');
        if (!isOption) {
            if (!m_command) {
                m_command = find(argument);
                if (!m_command)
                    return fail("unknown command \"" + argument + "\"");
            } else {
                m_arguments.push_back(argument);
            }
            continue;
        }
        if (argument == "--") {
            optionsEnded = true;
            continue;
        }
        if (argument == "-h" || argument == "--help") {
            m_help = true;
            continue;
        }
        if (argument == "-q" || argument == "--quiet") {
            m_quiet = true;
            continue;
        }
        if (argument == "--version") {
            m_version = true;
            continue;
        }
        if (argument.compare(0, 2, "--") != 0)
            return fail("unknown option \"" + argument + "\"");
        std::string name = argument.substr(2);
        std::string value;
        const std::size_t equals = name.find('=');
        const bool inlineValue = equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const CommandSpec::Option *option = m_command ? m_command->option(name) : nullptr;
        if (!option)
            return fail("unknown option \"--" + name + "\""
                        + (m_command ? std::string(" for ") + m_command->name : std::string()));
        if (option->value && !inlineValue) {
            if (i + 1 >= arguments.size())
                return fail("--" + name + " needs a value");
            value = arguments[++i];
        } else if (!option->value && inlineValue) {
            return fail("--" + name + " takes no value");
        }
        if (m_options.count(name))
            return fail("--" + name + " given twice");
        m_options[name] = value;
    }
    if (m_help || m_version)
        return true;
    if (!m_command)
        return fail("no command given");
    const int count = int(m_arguments.size());
    if (count < m_command->minArguments)
        return fail(std::string(m_command->name) + ": missing "
                    + (*m_command->arguments ? m_command->arguments : "argument"));
    if (m_command->maxArguments >= 0 && count > m_command->maxArguments)
        return fail(std::string(m_command->name) + ": too many arguments");
    return true;
}
