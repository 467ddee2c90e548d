#pragma once

#include "FileKey.h"

#include <map>
#include <string>
#include <vector>

// The flags this service set, written down (and synced) before each is set,
// so that after a crash or a power cut the next start clears every one of
// them: no file stays immutable with nobody holding it.
//
// One record a line: "+ DEVICE INODE LENGTH PATH" before a flag is set,
// "- DEVICE INODE" after it is cleared. A torn last record is ignored.
class LockJournal
{
public:
    using Entries = std::map<FileKey, std::string>;

    LockJournal() = default;
    ~LockJournal();
    LockJournal(const LockJournal &) = delete;
    LockJournal &operator=(const LockJournal &) = delete;

    // Opens (creates) the journal in folder. False with errno on failure.
    bool open(const std::string &folder);

    // Clears the flag of every file the journal still holds, where the path
    // still names that same file, and empties the journal. Returns how many
    // flags it cleared.
    int releaseLeftovers();

    // Before flags are set, in one write and one sync: false when the records
    // could not be made durable.
    bool noteLocks(const Entries &entries);
    // After flags were cleared.
    void noteReleases(const std::vector<FileKey> &keys, const Entries &stillHeld);

    // The files a journal's text still holds.
    static Entries parse(const std::string &text);

private:
    bool append(const std::string &record, bool sync);
    void rewrite(const Entries &entries);

    std::string m_path;
    int m_fd = -1;
    long long m_size = 0;
    long long m_rewrittenSize = 0;
};
