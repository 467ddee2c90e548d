#include "store/FileStore.h"

#include "store/Sha256.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace QuorvaneServer {

int FileStore::openStream(const std::string &name, uint64_t &size, std::shared_ptr<BlockStream> &,
                          const std::function<bool()> &) const
{
    const int fd = open(name);
    if (fd < 0)
        return -1;
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    size = static_cast<uint64_t>(info.st_size);
    return fd;
}

int FileStore::openPart(const std::string &name, uint64_t, uint64_t, uint64_t &size,
                        std::shared_ptr<BlockStream> &stream, bool &part,
                        const std::function<bool()> &gone) const
{
    part = false;
    return openStream(name, size, stream, gone);
}

std::string FileStore::digest(const std::string &name) const
{
    const int fd = open(name);
    if (fd < 0)
        throw std::runtime_error("cannot open stored file " + name + ": " + std::strerror(errno));
    Sha256 hash;
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            throw std::runtime_error("cannot read stored file " + name + ": "
                                     + std::strerror(error));
        }
        if (got == 0)
            break;
        hash.add(buffer.data(), static_cast<size_t>(got));
    }
    ::close(fd);
    return hash.finish();
}

} // namespace QuorvaneServer
