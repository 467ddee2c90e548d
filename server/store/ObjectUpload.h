#pragma once

#include "store/S3Client.h"
#include "store/TempFile.h"
#include "store/TransferBudget.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace QuorvaneServer {

class PendingAborts;
class UploadLeases;

// Sends an upload to an object store while it arrives, with nothing on the
// local disk. When its size is known, the transfer of one object (or of one
// part after another) pulls the bytes from the upload's buffers, hashing them
// on the way, so memory stays flat and a slow store holds back the client;
// otherwise parts
// are gathered in memory, one at a time. An upload dropped before finish(), or
// failing, aborts its multipart upload.
class ObjectUpload : public TempFile::Sink
{
public:
    static constexpr uint64_t UnknownSize = ~uint64_t(0);

    // size: the bytes to come, or UnknownSize. An abort the store does not
    // take goes to aborts; a multipart upload holds a lease of leases until
    // it completes or is aborted. The upload's buffers wait for their share
    // of budget before its first transfer starts, and hold it until the
    // upload goes.
    ObjectUpload(const S3Client &client, std::shared_ptr<PendingAborts> aborts,
                 std::shared_ptr<UploadLeases> leases, std::shared_ptr<TransferBudget> budget,
                 std::string key, uint64_t size);
    ~ObjectUpload() override;

    bool attach(TempFile &file) override;
    int take(const char *data, size_t size) override;
    void cancel() override;
    // Once the buffers' share of the budget was given, or the upload failed.
    bool admitted(std::function<void()> wake) override;
    const std::string &key() const;

    // All size bytes were taken: completes the object and checks that the
    // store holds it whole. False with what failed and the store's answer.
    bool finish(uint64_t size, std::string &what, S3Client::Response &failure);

    // Size of the part that starts at the number-th (from 1): larger as the
    // parts add up, so a file of any size fits into the store's 10000 parts.
    static uint64_t partSize(uint64_t base, int number);

private:
    struct State;
    // The transfer of size bytes taken as they come: one object, or parts.
    static void stream(std::shared_ptr<State> state);
    static void streamPart(State &state, int number, uint64_t length, uint64_t end);
    static bool admit(State &state, size_t bytes);
    int gather(const char *data, size_t size);
    bool sendGathered(int number);
    bool start();
    void abort();

    std::shared_ptr<State> m_state;
};

} // namespace QuorvaneServer
