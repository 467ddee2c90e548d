#pragma once

#include <ostream>
#include <string>

class CommandLine;
class Session;
class SnapshotCatalog;

// The commands that read snapshots back: snapshots, restore, versions,
// forget and check.
class SnapshotCommands
{
public:
    static bool handles(const std::string &command);

    SnapshotCommands(const CommandLine &line, Session &session, std::ostream &out,
                     std::ostream &err);

    int run();

private:
    int snapshots(SnapshotCatalog &catalog);
    int versions(SnapshotCatalog &catalog);
    int forget(SnapshotCatalog &catalog);
    int check(SnapshotCatalog &catalog);
    int usage(const std::string &message);

    const CommandLine &m_line;
    Session &m_session;
    std::ostream &m_out;
    std::ostream &m_err;
};
