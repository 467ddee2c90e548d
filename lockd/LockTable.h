#pragma once

#include "FileKey.h"
#include "LockJournal.h"
#include "LockdProtocol.h"

#include <map>
#include <set>
#include <string>
#include <sys/types.h>

// Every flag the service holds, for all clients. Two clients may hold one
// file: the flag goes when the last of them lets it go.
class LockTable
{
public:
    // What one connection holds.
    using Held = std::set<FileKey>;

    explicit LockTable(LockJournal &journal)
        : m_journal(journal)
    {
    }
    ~LockTable();
    LockTable(const LockTable &) = delete;
    LockTable &operator=(const LockTable &) = delete;

    // Locks the regular file behind fd (taken over: kept while held, closed
    // otherwise) for a client of uid. key is set to the file's.
    LockdProtocol::Result lock(int fd, uid_t uid, Held &held, FileKey *key);
    // Unlocks the file behind fd (closed here) if this client holds it.
    LockdProtocol::Result unlock(int fd, Held &held, FileKey *key);
    // Lets go of everything a client held.
    void releaseAll(Held &held);

    std::size_t size() const { return m_files.size(); }

private:
    struct File
    {
        int fd = -1;
        int holders = 0;
    };

    void release(const FileKey &key);

    LockJournal &m_journal;
    std::map<FileKey, File> m_files;
    // The paths as the journal keeps them, to write it anew.
    LockJournal::Entries m_paths;
};
