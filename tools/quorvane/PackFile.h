#pragma once

#include "Sha256Digest.h"

#include <cstdint>
#include <string>

// A pack being filled: the bytes of small files one after the other in a
// temporary file of its own, hashed as they are written, so a pack is never
// held in memory nor read once more before it is sent. The file and its
// folder go with the object.
class PackFile
{
public:
    PackFile() = default;
    ~PackFile();
    PackFile(const PackFile &) = delete;
    PackFile &operator=(const PackFile &) = delete;

    // Appends a file's bytes; their offset in the pack, or -1 with error set.
    std::int64_t append(const char *data, std::size_t size, std::string *error);
    // Ends the writing and names the file after its SHA-256; false with error set.
    bool close(std::string *error);

    std::int64_t size() const { return m_size; }
    int files() const { return m_files; }
    // After close().
    const std::string &sha256() const { return m_sha256; }
    const std::string &path() const { return m_path; }

private:
    bool open(std::string *error);

    std::string m_folder;
    std::string m_path;
    int m_fd = -1;
    std::int64_t m_size = 0;
    int m_files = 0;
    Sha256Digest m_hash;
    std::string m_sha256;
};
