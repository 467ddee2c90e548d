#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What one backup recorded: every folder, file and link under its roots, each
// file with its SHA-256 and the event that holds its bytes. Written as text
// (see the README's "Snapshot manifest"); read back only through parse, which
// keeps entries that could lead a restore outside its folder out.
class SnapshotManifest
{
public:
    static constexpr int Version = 1;
    static constexpr std::size_t MaximumPath = 4096;
    static constexpr std::size_t MaximumName = 255;

    enum class Type { File, Folder, Link };

    struct Entry
    {
        Type type = Type::File;
        // Relative, "/"-separated, first component the name of its root.
        std::string path;
        unsigned mode = 0;
        std::int64_t size = 0;
        std::int64_t mtimeSeconds = 0;
        std::int64_t mtimeNanoseconds = 0;
        std::uint64_t inode = 0;
        // Files only: lower-case hex, and the event holding the bytes: all of
        // it, or size bytes from offset on when the file was packed with others.
        std::string sha256;
        std::string event;
        std::int64_t offset = -1;
        // Links only.
        std::string target;
    };

    struct Refusal
    {
        int line = 0;
        std::string path; // as written (still encoded)
        std::string reason;
    };

    std::string host;
    std::int64_t created = 0;
    // Absolute paths as they were given to the backup.
    std::vector<std::string> roots;
    std::vector<Entry> entries;

    std::string write() const;
    // False with error set when the text is no manifest at all (header,
    // version, a missing end); entries that are unsafe or malformed are left
    // out one by one and listed in refused, with the entries under them.
    static bool parse(const std::string &text, SnapshotManifest *manifest,
                      std::vector<Refusal> *refused, std::string *error);

    // Empty when path is a safe relative path; otherwise why not.
    static std::string pathProblem(const std::string &path);
    // The name an entry of a root starts with.
    static std::string rootName(const std::string &root);

    const Entry *find(const std::string &path) const;

    static std::string encode(const std::string &bytes);
    static bool decode(const std::string &text, std::string *bytes);
};
