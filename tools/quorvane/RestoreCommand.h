#pragma once

#include "SnapshotContent.h"

#include <map>
#include <ostream>
#include <set>
#include <string>

class CommandLine;
class Session;

// quorvane restore [SNAPSHOT|latest] --to DIR [PATH...]: a snapshot's tree
// recreated under DIR by SnapshotRestore, from files this command fetches
// through the library binding.
class RestoreCommand : private SnapshotContent
{
public:
    RestoreCommand(const CommandLine &line, Session &session, std::ostream &out, std::ostream &err);

    int run();

private:
    std::string fileOf(const std::string &event) const override;
    bool mayTake(const std::string &event) const override;
    std::string confirmedSha256(int fd) const override;
    void report(const std::string &path, const std::string &reason);

    const CommandLine &m_line;
    Session &m_session;
    std::ostream &m_out;
    std::ostream &m_err;
    // Local copies of the content events, by id.
    std::map<std::string, std::string> m_files;
    // Those fetched for this restore alone.
    std::set<std::string> m_pulled;
    int m_failed = 0;
};
