#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

class CommandLine;
class Progress;
class Session;

// quorvane backup PATH...: every file of the paths (folders with everything in
// them) to the server, one after the other as keycrate's upload sends them,
// then a summary.
class BackupCommand
{
public:
    BackupCommand(const CommandLine &line, Session &session, Progress &progress, std::ostream &out,
                  std::ostream &err);

    int run();

private:
    struct File
    {
        std::string path;
        std::int64_t size;
    };

    // The files under the paths, in name order; every other path found is
    // told with its reason and counted as failed.
    std::vector<File> collect(int *failed);
    void take(const std::string &path, std::vector<File> *files, std::vector<std::string> *folders,
              int *failed);
    void refuse(const std::string &path, const std::string &reason, int *failed);
    int send(const File &file, int access);

    const CommandLine &m_line;
    Session &m_session;
    Progress &m_progress;
    std::ostream &m_out;
    std::ostream &m_err;
};
