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

    // What the library reads for a file: the file itself, or a stand-in in a
    // private folder when the file's size cannot be trusted (a system file's,
    // given as 0) or its name is no UTF-8, which event documents cannot carry.
    struct Staged
    {
        std::string path;
        std::string standIn;
        std::int64_t size = 0;
        bool copied = false;
        // The file itself, held open to tell whether it changed while sent.
        int fd = -1;
    };
    bool stage(const File &file, Staged *staged, std::string *reason);
    // Closes and removes what stage made; the reason when the file changed.
    std::string unstage(const Staged &staged);
    int send(const Staged &staged, int access, std::string *id);

    const CommandLine &m_line;
    Session &m_session;
    Progress &m_progress;
    std::ostream &m_out;
    std::ostream &m_err;
    std::string m_standIns;
};
