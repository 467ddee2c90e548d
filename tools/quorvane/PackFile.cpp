#include "PackFile.h"

#include "ScratchFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

PackFile::~PackFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_path.empty())
        ::unlink(m_path.c_str());
    if (!m_folder.empty())
        ::rmdir(m_folder.c_str());
}

bool PackFile::open(std::string *error)
{
    m_folder = ScratchFolder::make();
    if (m_folder.empty()) {
        *error = std::strerror(errno);
        return false;
    }
    m_path = m_folder + "/pack.part";
    m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd < 0) {
        *error = std::strerror(errno);
        m_path.clear();
        return false;
    }
    return true;
}

std::int64_t PackFile::append(const char *data, std::size_t size, std::string *error)
{
    if (m_fd < 0 && (!m_sha256.empty() || !open(error)))
        return -1;
    const std::int64_t offset = m_size;
    for (std::size_t done = 0; done < size;) {
        const ssize_t written = ::write(m_fd, data + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            *error = written < 0 ? std::strerror(errno) : "nothing written";
            return -1;
        }
        done += std::size_t(written);
    }
    m_hash.add(data, size);
    m_size += std::int64_t(size);
    ++m_files;
    return offset;
}

bool PackFile::close(std::string *error)
{
    if (m_fd < 0 && !open(error))
        return false;
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    m_sha256 = m_hash.hex();
    // The server keeps the name: one that tells the pack apart.
    const std::string named = m_folder + "/pack-" + m_sha256.substr(0, 16) + ".qvp";
    if (::rename(m_path.c_str(), named.c_str()) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    m_path = named;
    return true;
}
