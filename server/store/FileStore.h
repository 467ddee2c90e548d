#pragma once

#include "store/DataFolder.h"
#include "store/TempFile.h"

#include <functional>
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
    // Removes what an interrupted upload or removal left behind: temporary
    // files and stored files that no event refers to, passing over every file
    // another process (a server on the same folder) still holds. referenced
    // is the list of names read before; isReferenced asks again for one name.
    // Also counts referenced files that are missing.
    Sweep sweep(const std::set<std::string> &referenced,
                const std::function<bool(const std::string &)> &isReferenced) const;

    // Why the folders cannot take files now, or empty when they can.
    std::string problem() const;

    // The SHA-256 of a stored file, 32 bytes; throws when it cannot be read.
    std::string digest(const std::string &name) const;

private:
    std::string m_files;
    std::string m_temporary;
};

} // namespace QuorvaneServer
