#pragma once

#include "SnapshotManifest.h"

#include <map>
#include <ostream>
#include <string>
#include <vector>

class CommandLine;
class Session;

// quorvane restore [SNAPSHOT|latest] --to DIR [PATH...]: a snapshot's tree
// recreated under DIR. Every write goes through descriptors opened from DIR's
// without following links, so no entry reaches outside it; each file is
// written under a temporary name and takes its own only once its SHA-256 is
// right.
class RestoreCommand
{
public:
    RestoreCommand(const CommandLine &line, Session &session, std::ostream &out, std::ostream &err);

    int run();

private:
    // The folder that holds path, opened below DIR; -1 after telling why.
    int openParent(const std::string &path);
    bool restoreFolder(const SnapshotManifest::Entry &entry);
    bool restoreFile(const SnapshotManifest::Entry &entry, const std::string &source);
    bool restoreLink(const SnapshotManifest::Entry &entry);
    void finishFolder(const SnapshotManifest::Entry &entry);
    // Whether an existing name may be replaced; tells why not.
    bool mayReplace(int parent, const std::string &name, const std::string &path, bool folder);
    void report(const std::string &path, const std::string &reason);

    const CommandLine &m_line;
    Session &m_session;
    std::ostream &m_out;
    std::ostream &m_err;
    int m_root = -1;
    bool m_overwrite = false;
    int m_failed = 0;
};
