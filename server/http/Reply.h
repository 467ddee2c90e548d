#pragma once

#include "store/BlockStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace QuorvaneServer {

// A stored file to send: the bytes first..last (inclusive) of a file of size
// bytes, checked as it goes block by block against blockSums (see BlockSums)
// when it has them, else as a whole against digest (raw SHA-256, empty when
// unknown).
struct FileSource
{
    int fd = -1;
    uint64_t size = 0;
    uint64_t first = 0;
    uint64_t last = 0;
    // Instead of fd: the file once, in order, from byte from on.
    std::shared_ptr<BlockStream> stream;
    uint64_t from = 0;
    std::string digest;
    std::string blockSums;
    std::string eventId;

    FileSource() = default;
    FileSource(const FileSource &) = delete;
    FileSource &operator=(const FileSource &) = delete;
    ~FileSource()
    {
        if (fd >= 0)
            ::close(fd);
        // A transfer still waiting for its reader stops.
        if (stream)
            stream->close();
    }
};

// One answer, independent of the connection that carries it.
struct Reply
{
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // A body of unknown length, sent chunked: each call appends the next
    // piece to out and sets done at the end; false when it failed.
    std::function<bool(std::string &out, bool &done)> next;
    std::shared_ptr<FileSource> file;
    // The connection closes after this answer.
    bool close = false;
};

} // namespace QuorvaneServer
