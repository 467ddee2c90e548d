#pragma once

#include "store/FileStore.h"
#include "store/FolderStore.h"
#include "store/S3Client.h"

#include <chrono>
#include <memory>

namespace QuorvaneServer {

class BlockPool;
class Database;
class PendingAborts;
class TransferBudget;
class UploadLeases;

// The stored files as objects under "PREFIX/files/" of an S3 bucket; the data
// folder keeps nothing of them. An upload streams into the store (in parts
// when large) and its object is complete before its name is handed out; a
// whole file is read back into an unnamed local file that goes with its
// descriptor.
class ObjectStore : public FileStore
{
public:
    // Location: "s3://BUCKET[/PREFIX]".
    ObjectStore(const DataFolder &folder, const std::string &location, S3Client::Settings settings);
    ~ObjectStore() override;

    // Parses "s3://BUCKET[/PREFIX]" into bucket and prefix ("" or ending in
    // "/"); false when it is no such location.
    static bool parseLocation(const std::string &location, std::string &bucket,
                              std::string &prefix);

    // How old an object of no event must be before a sweep removes it.
    void setGrace(std::chrono::seconds grace) { m_grace = grace; }

    // How often aborts the store did not take are tried again; before bindTo().
    void setRetryInterval(std::chrono::milliseconds interval) { m_retryInterval = interval; }

    // Ties the prefix to the database as DataFolder::bindTo does a folder,
    // and keeps failed aborts and the leases of multipart uploads there; db
    // must outlive the store.
    void bindTo(Database &db);

    std::unique_ptr<TempFile> createTemporary(uint64_t size = UnknownSize) const override;
    std::string adopt(TempFile &file) const override;
    int open(const std::string &name) const override;
    // A stream fed block by block by a transfer of its own: the store is read
    // only as fast as the reader takes the blocks.
    int openStream(const std::string &name, uint64_t &size, std::shared_ptr<BlockStream> &stream,
                   const std::function<bool()> &gone = {}) const override;
    // A ranged GET into such a stream.
    int openPart(const std::string &name, uint64_t first, uint64_t last, uint64_t &size,
                 std::shared_ptr<BlockStream> &stream, bool &part,
                 const std::function<bool()> &gone = {}) const override;
    void remove(const std::string &name) const override;
    void put(const std::string &name, int fd, uint64_t size) const override;
    // An object younger than a grace period may be on its way to a row of
    // another server, and a multipart upload whose lease still runs, or of no
    // lease and younger than a day, may still be written: both stay.
    Sweep sweep(const std::set<std::string> &referenced,
                const std::function<bool(const std::string &)> &isReferenced) const override;
    std::string problem() const override;

    const std::string &location() const { return m_location; }
    // What all streamed transfers' buffers share.
    const TransferBudget &budget() const { return *m_budget; }
    const BlockPool &pool() const { return *m_pool; }

private:
    std::string key(const std::string &name) const { return m_prefix + "files/" + name; }
    [[noreturn]] void fail(const std::string &what, const S3Client::Response &response) const;
    std::shared_ptr<BlockStream> openBlocks(const std::string &name, const std::string &range,
                                            uint64_t &size,
                                            const std::function<bool()> &gone) const;
    void putMultipart(const std::string &key, int fd, uint64_t size) const;
    void abortStaleUploads() const;

    FolderStore m_local;
    std::string m_temporary;
    std::string m_location;
    std::string m_prefix;
    S3Client m_client;
    std::chrono::seconds m_grace = std::chrono::minutes(15);
    std::chrono::milliseconds m_retryInterval = std::chrono::seconds(10);
    // Shared with the uploads, which may end after the store.
    std::shared_ptr<PendingAborts> m_aborts;
    std::shared_ptr<UploadLeases> m_leases;
    std::shared_ptr<TransferBudget> m_budget;
    // The downloads' blocks, kept within the budget.
    std::shared_ptr<BlockPool> m_pool;
    Database *m_db = nullptr;
};

} // namespace QuorvaneServer
