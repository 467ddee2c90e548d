#pragma once

#include "CommandLine.h"

namespace QuorvaneServer {

// quorvane-server copy: moves a service to another database. Accounts and
// events are copied, the files stay in the shared data folder and are checked
// against their hashes at the end. With --storage it moves the service's files
// between the data folder and a bucket instead, under the same names, each
// checked against its hash where it arrived.
class CopyCommand
{
public:
    explicit CopyCommand(const CommandLine &line);
    // The process exit code: 0 copied and every file sound, 1 otherwise.
    int run();

private:
    int copyFiles();

    const CommandLine &m_line;
};

} // namespace QuorvaneServer
