#pragma once

#include "CommandLine.h"

namespace QuorvaneServer {

// quorvane-server migrate: brings a database made by an older server to the
// current schema, hashing the stored files that have no hash yet, from the
// data folder or, with --storage, from the bucket.
class MigrateCommand
{
public:
    explicit MigrateCommand(const CommandLine &line);
    // The process exit code: 0 done, 1 failed (nothing changed).
    int run();

private:
    const CommandLine &m_line;
};

} // namespace QuorvaneServer
