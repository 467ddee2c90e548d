#pragma once

#include <string>

// What the program needs to know about the terminal it runs in.
class Terminal
{
public:
    static bool isTerminal(int fd);
    // Columns of the terminal on fd; 0 when fd is no terminal.
    static int width(int fd);
    // One line from standard input without its line break; a terminal gets a
    // prompt on stderr and no echo. False when nothing could be read.
    static bool readSecret(const char *prompt, std::string *secret);
};
