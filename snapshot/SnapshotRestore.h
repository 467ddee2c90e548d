#pragma once

#include "SnapshotManifest.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class SnapshotContent;

// A snapshot's tree recreated under a target folder. Every write goes through
// descriptors opened from the target's without following links, so no entry
// reaches outside it; each file is written under a temporary name and takes
// its own only once its SHA-256 is right. A later restore into the same
// folders removes the temporary names a killed one left. What is already
// there stays unless overwriting was asked for.
class SnapshotRestore
{
public:
    using Entries = std::vector<const SnapshotManifest::Entry *>;
    // One entry that was not restored, and why.
    using Reporter = std::function<void(const std::string &path, const std::string &reason)>;
    // Entries handled so far, of all.
    using Progress = std::function<void(std::size_t done, std::size_t total)>;

    // Why an existing file was kept; hosts may add how to replace it.
    static const char NotOverwritten[];

    // The entries at or under the given paths (as the snapshot names them,
    // "Documents/notes.txt"), with the folders above them; all of them when no
    // path is given. In manifest order: a folder before what it holds.
    static Entries choose(const SnapshotManifest &manifest, const std::vector<std::string> &paths);
    // The events that hold the files' bytes, each once.
    static std::vector<std::string> contentEvents(const Entries &entries);
    // Why the open folder target is no place for this user's files (another
    // user owns it, who could read or swap what lands there); empty when it is.
    static std::string refusedTarget(int target);

    // target: an open folder, left open; content and report outlive this.
    SnapshotRestore(int target, const SnapshotContent &content, Reporter report);
    ~SnapshotRestore();
    SnapshotRestore(const SnapshotRestore &) = delete;
    SnapshotRestore &operator=(const SnapshotRestore &) = delete;

    void setOverwrite(bool overwrite) { m_overwrite = overwrite; }
    void setProgress(Progress progress) { m_progress = std::move(progress); }

    // How many entries were restored; each of the others was reported.
    int restore(const Entries &entries);

private:
    // The folder that holds path, opened below the target; -1 after telling
    // why. Kept open for the next entry in it: the caller does not close it.
    int openParent(const std::string &path);
    void closeParent();
    // Removes the temporary names that restores killed on their way left in
    // folder; those of restores still running stay.
    static void sweep(int folder);
    bool restoreFolder(const SnapshotManifest::Entry &entry);
    // take: the store's file may be moved into place.
    bool restoreFile(const SnapshotManifest::Entry &entry, const std::string &source, bool take);
    // Written under a temporary name while it is checked.
    bool copyFile(const SnapshotManifest::Entry &entry, int parent, int in);
    // A new empty file under parent; -1 with errno set.
    static int createTemporary(int parent, std::string *name);
    // The store's file itself, checked and moved into place; false when it
    // has to be copied instead (another file system), with *failed set when
    // the entry is lost and was reported.
    bool moveFile(const SnapshotManifest::Entry &entry, int parent, int in,
                  const std::string &source, bool *failed);
    // A checked temporary under parent takes the entry's name.
    bool place(const SnapshotManifest::Entry &entry, int parent, const std::string &temporary);
    bool restoreLink(const SnapshotManifest::Entry &entry);
    void finishFolder(const SnapshotManifest::Entry &entry);
    // Whether an existing name may be replaced; tells why not.
    bool mayReplace(int parent, const std::string &name, const std::string &path, bool folder);

    int m_root = -1;
    std::string m_parentPath;
    int m_parent = -1;
    const SnapshotContent &m_content;
    Reporter m_report;
    Progress m_progress;
    bool m_overwrite = false;
};
