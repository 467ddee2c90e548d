#pragma once

#include <string>

// Where a snapshot restore finds the bytes of an event: each host fetches them
// its own way (the command line through its library binding, the window
// through the library's interface) and names the local file that holds them.
class SnapshotContent
{
public:
    virtual ~SnapshotContent() = default;
    // A local file holding the event's bytes; empty when the event is not at
    // hand (not on the server, or not fetched).
    virtual std::string fileOf(const std::string &event) const = 0;
    // Whether that file was fetched for this restore alone: then it may be
    // moved into place instead of copied, and is gone afterwards.
    virtual bool mayTake(const std::string &event) const
    {
        (void)event;
        return false;
    }
    // The SHA-256 the fetch took of the file open as fd as it wrote it, when
    // that is still the file it wrote; empty when not known. A file whose
    // digest is known need not be read again to be checked.
    virtual std::string confirmedSha256(int fd) const
    {
        (void)fd;
        return std::string();
    }
};
