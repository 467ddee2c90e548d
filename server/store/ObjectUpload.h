#pragma once

#include "store/S3Client.h"
#include "store/TempFile.h"

#include <memory>
#include <string>

namespace QuorvaneServer {

class PendingAborts;

// Sends an upload to an object store in parts while it is still arriving: each
// part goes up from the temporary file as soon as it is there, several at a
// time on threads of their own, and its room on the local disk is given back. An upload that is
// dropped before finish() aborts its multipart upload.
class ObjectUpload : public TempFile::Follower
{
public:
    // fd reads and writes the temporary file; taken over. An abort the store
    // does not take goes to aborts.
    ObjectUpload(const S3Client &client, std::shared_ptr<PendingAborts> aborts, std::string key,
                 int fd);
    ~ObjectUpload() override;

    void written(uint64_t size) override;
    const std::string &key() const;

    enum class Outcome { Small, Stored, Failed };
    // The whole file has been written: sends the rest and completes the
    // object. Small when no part was ever sent (the caller puts it whole);
    // Failed with what failed and the store's answer.
    Outcome finish(uint64_t size, std::string &what, S3Client::Response &failure);

    // Size of the part that starts at the number-th (from 1): larger as the
    // parts add up, so a file of any size fits into the store's 10000 parts.
    static uint64_t partSize(uint64_t base, int number);

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    // Sends queued parts until none is left or the upload failed.
    static void send(State &state);
    void queueParts(uint64_t size, bool last);
    static void abort(State &state);

    std::shared_ptr<State> m_state;
};

} // namespace QuorvaneServer
