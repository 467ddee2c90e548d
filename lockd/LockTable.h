#pragma once

#include "FileKey.h"
#include "FileSystems.h"
#include "LockJournal.h"
#include "LockdProtocol.h"

#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

// Every flag the service holds, for all clients. Two clients may hold one
// file: the flag goes when the last of them lets it go.
class LockTable
{
public:
    // What one connection holds.
    using Held = std::set<FileKey>;

    // One lock request: the descriptor of a regular file (taken over: kept
    // while held, closed otherwise) with what fstat said of it, in; the
    // result out.
    struct Job
    {
        int fd = -1;
        std::uint64_t tag = 0;
        FileKey key;
        uid_t owner = 0;
        LockdProtocol::Result result = LockdProtocol::Result::Failed;
        int flags = 0;
    };

    // Held files keep a descriptor each; room is how many may be held so
    // that clients can still connect and be answered.
    LockTable(LockJournal &journal, std::size_t room)
        : m_journal(journal)
        , m_room(room)
    {
    }
    ~LockTable();
    LockTable(const LockTable &) = delete;
    LockTable &operator=(const LockTable &) = delete;

    // Locks the files of a client of uid, in order; the journal is synced
    // once for them all.
    void lock(std::vector<Job> &jobs, uid_t uid, Held &held);
    // Unlocks the file behind fd (closed here) if this client holds it.
    LockdProtocol::Result unlock(int fd, Held &held, FileKey *key);
    // Lets go of everything a client held.
    void releaseAll(Held &held);

    std::size_t size() const { return m_files.size(); }

    // Room for the descriptor limit the process runs with.
    static std::size_t roomForDescriptorLimit();

private:
    struct File
    {
        int fd = -1;
        int holders = 0;
    };

    // What can be decided before the journal: a final result, or Protected
    // with *path set when the flag is still to be set.
    LockdProtocol::Result check(Job &job, uid_t uid, Held &held, std::string *path);
    // One holder less; true when that cleared the flag.
    bool release(const FileKey &key);

    LockJournal &m_journal;
    std::size_t m_room;
    FileSystems m_fileSystems;
    std::map<FileKey, File> m_files;
    // The paths as the journal keeps them, to write it anew.
    LockJournal::Entries m_paths;
};
