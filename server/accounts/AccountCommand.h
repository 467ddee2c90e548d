#pragma once

#include "CommandLine.h"

#include <cstdio>

namespace QuorvaneServer {

// account add, passwd, remove and list: the account commands of the command line.
class AccountCommand
{
public:
    AccountCommand(const CommandLine &line, FILE *input);

    // The process exit code: 0 done, 1 refused or failed.
    int run();

private:
    bool readPassword(std::string &password);
    bool readLine(const char *prompt, std::string &line);

    const CommandLine &m_line;
    FILE *m_input;
};

} // namespace QuorvaneServer
