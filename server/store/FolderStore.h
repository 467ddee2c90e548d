#pragma once

#include "store/DataFolder.h"
#include "store/FileStore.h"

namespace QuorvaneServer {

// The stored files in "files/" of the data folder, uploads in progress in its
// "tmp/"; several servers may share the folder.
class FolderStore : public FileStore
{
public:
    explicit FolderStore(const DataFolder &folder);

    std::unique_ptr<TempFile> createTemporary(uint64_t size = UnknownSize) const override;
    std::string adopt(TempFile &file) const override;
    int open(const std::string &name) const override;
    void remove(const std::string &name) const override;
    void put(const std::string &name, int fd, uint64_t size) const override;
    // A file that some process holds locked is an upload in progress or
    // about to be committed.
    Sweep sweep(const std::set<std::string> &referenced,
                const std::function<bool(const std::string &)> &isReferenced) const override;
    std::string problem() const override;

private:
    std::string m_files;
    std::string m_temporary;
};

} // namespace QuorvaneServer
