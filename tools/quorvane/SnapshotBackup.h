#pragma once

#include "PackFile.h"
#include "SnapshotManifest.h"

#include <atomic>
#include <cstdint>
#include <future>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <vector>

class CommandLine;
class Progress;
class Session;
class SnapshotCatalog;

// quorvane backup PATH...: the paths' folders, files and links recorded as a
// snapshot. A file unchanged since the previous snapshot of the same roots
// (size, time and inode), or whose bytes the server already holds, is not
// sent again; its entry names the event that holds them. Only a backup that
// ran to its end uploads its manifest.
class SnapshotBackup
{
public:
    SnapshotBackup(const CommandLine &line, Session &session, Progress &progress, std::ostream &out,
                   std::ostream &err);
    ~SnapshotBackup();

    int run();

private:
    struct Pending
    {
        SnapshotManifest::Entry entry;
        std::string source;
        int pack = -1; // the pack being filled that will hold its bytes
    };
    struct Stored
    {
        std::string event;
        std::int64_t offset = -1;
        int pack = -1;
    };

    // A file read and hashed, or why it cannot be sent.
    struct Hashed
    {
        std::string problem;
        struct stat before = {};
        std::string sha256;
        std::int64_t read = 0;
        std::string bytes; // a small file's, kept to be packed
    };

    void walk(const std::string &source, const std::string &path);
    // The previous snapshot's entry when it still stands for the file: same
    // size, time and inode, and its content still on the server.
    const SnapshotManifest::Entry *unchanged(const SnapshotManifest::Entry &entry,
                                             const SnapshotCatalog &catalog) const;
    static Hashed hash(const std::string &source, const std::atomic<bool> *stop);
    // Starts hashing the next large file to send after index, if none is.
    void hashAhead(std::size_t index, const SnapshotCatalog &catalog);
    void refuse(const std::string &path, const std::string &reason);
    // The file's bytes on the server; false when the backup must stop.
    bool store(Pending *file, SnapshotCatalog &catalog);
    int send(const std::string &source, const std::string &sha256, std::string *id);
    // Small files travel together: one event per pack, each file checked by
    // its own SHA-256 on restore. A full pack is sent while the next one
    // fills. False when the backup must stop.
    bool flushPack();
    // Waits for the pack being sent and gives its files their event.
    bool collectPack();
    bool settlePack(const std::string &id, int code);
    // Whether a failed send of what stops the backup (told on stderr).
    bool stops(int code, const std::string &what);
    std::string upload(const std::string &fileName, const std::string &bytes,
                       const std::string &name, const std::string &content, const char *description,
                       int *code);

    const CommandLine &m_line;
    Session &m_session;
    Progress &m_progress;
    std::ostream &m_out;
    std::ostream &m_err;
    int m_access = 1;
    std::vector<Pending> m_found;
    std::map<std::string, const SnapshotManifest::Entry *> m_previous;
    std::map<std::string, Stored> m_stored; // by SHA-256
    std::unique_ptr<PackFile> m_filling;
    int m_packNumber = 0;
    std::unique_ptr<PackFile> m_sending;
    int m_sendingNumber = -1;
    int m_sendingResult = 0;
    std::string m_sendingContent;
    int m_failed = 0;
    int m_sent = 0;
    int m_unchanged = 0;
    std::int64_t m_sentBytes = 0;
    int m_stopCode = 0;
    std::future<Hashed> m_ahead;
    std::size_t m_aheadIndex = 0;
    std::atomic<bool> m_stopAhead { false };
    unsigned long long m_began = 0;
};
