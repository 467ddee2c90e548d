#pragma once

#include "store/DataFolder.h"
#include "store/TempFile.h"

#include <memory>
#include <set>
#include <string>

namespace QuorvaneServer {

// The stored files of all events. An upload is written to a temporary file,
// made durable and only then moved in under a new name of the server's making;
// client ids and paths never become file names here.
class FileStore
{
public:
    explicit FileStore(const DataFolder &folder);

    std::unique_ptr<TempFile> createTemporary() const;
    // Moves a synced upload into the store and returns its storage name, or
    // an empty text with file.error() set.
    std::string adopt(TempFile &file) const;
    // Opens a stored file for reading; -1 with errno set on failure.
    int open(const std::string &name) const;
    void remove(const std::string &name) const;

    struct Sweep
    {
        size_t temporary = 0;
        size_t unreferenced = 0;
        size_t missing = 0;
    };
    // Run at start, before any request: removes what an interrupted upload or
    // removal left behind, that is every temporary file and every stored file
    // that no event refers to. Also counts referenced files that are missing.
    Sweep sweep(const std::set<std::string> &referenced) const;

private:
    std::string m_files;
    std::string m_temporary;
};

} // namespace QuorvaneServer
