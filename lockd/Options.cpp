#include "Options.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

bool Options::parse(int argc, char **argv, std::string *error)
{
    if (const char *state = std::getenv("STATE_DIRECTORY")) {
        // systemd may list several folders, separated by colons: ours is the first.
        stateFolder = state;
        stateFolder = stateFolder.substr(0, stateFolder.find(':'));
    }
    for (int index = 1; index < argc; ++index) {
        const std::string option = argv[index];
        if (option == "--help" || option == "-h") {
            help = true;
            return true;
        }
        if (option == "--version") {
            version = true;
            return true;
        }
        if (option != "--socket" && option != "--state-dir" && option != "--idle-exit") {
            *error = "unknown option " + option;
            return false;
        }
        if (index + 1 >= argc) {
            *error = option + " needs a value";
            return false;
        }
        const std::string value = argv[++index];
        if (option == "--socket") {
            socketPath = value;
        } else if (option == "--state-dir") {
            stateFolder = value;
        } else {
            const auto [end, failure]
                = std::from_chars(value.data(), value.data() + value.size(), idleSeconds);
            if (failure != std::errc() || end != value.data() + value.size() || idleSeconds < 0) {
                *error = "--idle-exit wants whole seconds, 0 for never: " + value;
                return false;
            }
        }
    }
    if (stateFolder.empty() || stateFolder.front() != '/') {
        *error = "no state folder: give --state-dir or $STATE_DIRECTORY as an absolute path";
        return false;
    }
    return true;
}

const char *Options::usage()
{
    return "Usage: keycrate-lockd [--socket PATH] [--state-dir DIR] [--idle-exit SECONDS]\n"
           "Makes the files keycrate locks immutable while it holds them.\n"
           "  --socket PATH       listen on PATH instead of the socket systemd passes\n"
           "  --state-dir DIR     the journal's folder (default $STATE_DIRECTORY)\n"
           "  --idle-exit SECONDS end after this long without clients (default 30, 0 never)\n";
}
