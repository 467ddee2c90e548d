#pragma once

#include "store/TempFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

namespace QuorvaneServer {

// Where the stored files of all events are kept: a folder or an object store.
// An upload is written to a temporary file (or straight to the object store),
// made durable and only then put into the store under a new name of the
// server's making; client ids and paths never become names here.
class BlockStream;

class FileStore
{
public:
    virtual ~FileStore() = default;

    static constexpr uint64_t UnknownSize = ~uint64_t(0);
    // For an upload of size bytes, or of UnknownSize; see TempFile::error().
    virtual std::unique_ptr<TempFile> createTemporary(uint64_t size = UnknownSize) const = 0;
    // Puts a synced upload into the store and returns its storage name, or
    // an empty text with file.error() set. Throws DatabaseError when the
    // store cannot be reached.
    virtual std::string adopt(TempFile &file) const = 0;
    // Opens a stored file for reading; -1 with errno set on failure, ENOENT
    // when there is no such file. Throws DatabaseError when the store cannot
    // be reached.
    virtual int open(const std::string &name) const = 0;
    // Opens a stored file to be read once, from its start, as it arrives:
    // size is set, and either the file's descriptor returned or stream set,
    // which gives the file in order, as the store sends it. Failures as open().
    // gone, when given, tells whether the reader went meanwhile: a store that
    // waits for room then gives up its place at once.
    virtual int openStream(const std::string &name, uint64_t &size,
                           std::shared_ptr<BlockStream> &stream,
                           const std::function<bool()> &gone = {}) const;
    // As openStream, for the bytes first..last (inclusive) only: a store that
    // can read a part sets part, and the stream gives those bytes, size of
    // them; any other gives the whole file.
    virtual int openPart(const std::string &name, uint64_t first, uint64_t last, uint64_t &size,
                         std::shared_ptr<BlockStream> &stream, bool &part,
                         const std::function<bool()> &gone = {}) const;
    virtual void remove(const std::string &name) const = 0;
    // Stores size bytes of fd under name, replacing what it held; for a copy
    // between stores. Throws when it cannot.
    virtual void put(const std::string &name, int fd, uint64_t size) const = 0;

    struct Sweep
    {
        size_t temporary = 0;
        size_t unreferenced = 0;
        size_t missing = 0;
    };
    // Removes what an interrupted upload or removal left behind: temporary
    // files and stored files that no event refers to, passing over every file
    // another server may still be writing or committing. referenced is the
    // list of names read before; isReferenced asks again for one name. Also
    // counts referenced files that are missing.
    virtual Sweep sweep(const std::set<std::string> &referenced,
                        const std::function<bool(const std::string &)> &isReferenced) const = 0;

    // Why the store cannot take files now, or empty when it can.
    virtual std::string problem() const = 0;

    // The SHA-256 of a stored file, 32 bytes; throws when it cannot be read.
    std::string digest(const std::string &name) const;
};

} // namespace QuorvaneServer
