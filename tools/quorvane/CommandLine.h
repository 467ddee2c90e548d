#pragma once

#include <map>
#include <string>
#include <vector>

// One command of the program: its options, how many arguments it takes and
// its help text.
struct CommandSpec
{
    struct Option
    {
        const char *name; // without the leading "--"
        const char *value; // the value's name in help, null for a flag
        const char *help;
    };

    const char *name;
    const char *arguments; // as the usage line shows them
    const char *summary;
    std::vector<Option> options;
    int minArguments;
    int maxArguments; // -1: no limit

    const Option *option(const std::string &optionName) const;
};

// The program's command line: global options (--quiet, --help, --version)
// anywhere, one command, its options and arguments. "--" ends the options.
class CommandLine
{
public:
    static const std::vector<CommandSpec> &commands();
    static const CommandSpec *find(const std::string &name);
    static std::string programHelp();
    static std::string commandHelp(const CommandSpec &command);

    // False with error() set when the line cannot be used.
    bool parse(const std::vector<std::string> &arguments);
    const std::string &error() const { return m_error; }

    // Null when no command was named (only --help or --version).
    const CommandSpec *command() const { return m_command; }
    const std::vector<std::string> &arguments() const { return m_arguments; }
    bool has(const std::string &option) const { return m_options.count(option) != 0; }
    std::string value(const std::string &option) const;

    bool help() const { return m_help; }
    bool version() const { return m_version; }
    bool quiet() const { return m_quiet; }

private:
    bool fail(const std::string &message);

    const CommandSpec *m_command = nullptr;
    std::vector<std::string> m_arguments;
    std::map<std::string, std::string> m_options;
    bool m_help = false;
    bool m_version = false;
    bool m_quiet = false;
    std::string m_error;
};
