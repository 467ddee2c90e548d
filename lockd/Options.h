#pragma once

#include <string>

// keycrate-lockd's command line.
struct Options
{
    std::string socketPath; // empty: the socket systemd passes
    std::string stateFolder; // default $STATE_DIRECTORY
    int idleSeconds = 30;
    bool help = false;
    bool version = false;

    // Parses argv; false with a message in *error.
    bool parse(int argc, char **argv, std::string *error);
    static const char *usage();
};
