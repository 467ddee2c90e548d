#include "SnapshotManifest.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <set>
#include <sstream>

namespace {

constexpr std::size_t MaximumLine = 3 * 2 * SnapshotManifest::MaximumPath + 512;
constexpr std::size_t MaximumRoots = 4096;
const char Header[] = "quorvane-snapshot";

std::vector<std::string> fields(const std::string &line)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t space = line.find(' ', start);
        parts.push_back(line.substr(start, space - start));
        if (space == std::string::npos)
            return parts;
        start = space + 1;
    }
}

template<typename Number> bool number(const std::string &text, Number *value, int base = 10)
{
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), *value, base);
    return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

bool time(const std::string &text, std::int64_t *seconds, std::int64_t *nanoseconds)
{
    const std::size_t dot = text.find('.');
    if (dot == std::string::npos || text.size() - dot - 1 != 9)
        return false;
    return number(text.substr(0, dot), seconds) && number(text.substr(dot + 1), nanoseconds);
}

bool isHex(const std::string &text, std::size_t length)
{
    return text.size() == length && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::string parentOf(const std::string &path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

std::string SnapshotManifest::encode(const std::string &bytes)
{
    static const char Digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7f || byte == '%') {
            text += '%';
            text += Digits[byte >> 4];
            text += Digits[byte & 15];
        } else {
            text += c;
        }
    }
    return text.empty() ? std::string("%") : text;
}

bool SnapshotManifest::decode(const std::string &text, std::string *bytes)
{
    bytes->clear();
    // A lone "%" stands for the empty text, so that no field is empty.
    if (text == "%")
        return true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte <= 0x20 || byte >= 0x7f)
            return false;
        if (byte != '%') {
            *bytes += text[i];
            continue;
        }
        unsigned value = 0;
        if (i + 2 >= text.size())
            return false;
        const std::string digits = text.substr(i + 1, 2);
        if (digits.size() != 2 || digits.find_first_not_of("0123456789ABCDEF") != std::string::npos
            || !number(digits, &value, 16))
            return false;
        *bytes += char(value);
        i += 2;
    }
    return true;
}

std::string SnapshotManifest::pathProblem(const std::string &path)
{
    if (path.empty())
        return "an empty path";
    if (path.size() > MaximumPath)
        return "a path longer than 4096 bytes";
    if (path.find('\0') != std::string::npos)
        return "a path holding a NUL byte";
    if (path.front() == '/')
        return "an absolute path";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        const std::string name = path.substr(start, slash - start);
        if (name.empty())
            return "a path with an empty name in it";
        if (name == "..")
            return "a path leading up (\"..\")";
        if (name == ".")
            return "a path with \".\" in it";
        if (name.size() > MaximumName)
            return "a name longer than 255 bytes";
        start = slash + 1;
    }
    return std::string();
}

std::string SnapshotManifest::rootName(const std::string &root)
{
    return root.substr(root.rfind('/') + 1);
}

const SnapshotManifest::Entry *SnapshotManifest::find(const std::string &path) const
{
    for (const Entry &entry : entries)
        if (entry.path == path)
            return &entry;
    return nullptr;
}

std::string SnapshotManifest::write() const
{
    std::ostringstream text;
    text << Header << ' ' << Version << '\n';
    text << "host " << encode(host) << '\n';
    text << "created " << created << '\n';
    for (const std::string &root : roots)
        text << "root " << encode(root) << '\n';
    for (const Entry &entry : entries) {
        char time[48];
        std::snprintf(time, sizeof time, "%lld.%09lld", static_cast<long long>(entry.mtimeSeconds),
                      static_cast<long long>(entry.mtimeNanoseconds));
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", entry.mode & 07777);
        const bool packed = entry.type == Type::File && entry.offset >= 0;
        text << (packed                           ? 'P'
                     : entry.type == Type::File   ? 'F'
                     : entry.type == Type::Folder ? 'D'
                                                  : 'L')
             << ' ' << mode << ' ' << entry.size << ' ' << time << ' ' << entry.inode << ' '
             << (entry.type == Type::File ? entry.sha256 : "-") << ' '
             << (entry.type == Type::File ? encode(entry.event) : "-") << ' ';
        if (packed)
            text << entry.offset << ' ';
        text << encode(entry.path);
        if (entry.type == Type::Link)
            text << ' ' << encode(entry.target);
        text << '\n';
    }
    text << "end " << entries.size() << '\n';
    return text.str();
}

bool SnapshotManifest::parse(const std::string &text, SnapshotManifest *manifest,
                             std::vector<Refusal> *refused, std::string *error)
{
    *manifest = SnapshotManifest();
    refused->clear();
    std::set<std::string> folders, paths, rootNames;
    std::size_t start = 0;
    int lineNumber = 0;
    bool ended = false;
    std::size_t written = 0;
    while (start < text.size()) {
        const std::size_t newline = text.find('\n', start);
        if (newline == std::string::npos) {
            *error = "the manifest's last line is cut off";
            return false;
        }
        const std::string line = text.substr(start, newline - start);
        start = newline + 1;
        ++lineNumber;
        if (ended) {
            *error = "text after the manifest's end";
            return false;
        }
        if (line.size() > MaximumLine) {
            *error = "line " + std::to_string(lineNumber) + " is too long";
            return false;
        }
        const std::vector<std::string> head = fields(line);
        const std::string key = head.front();
        if (lineNumber == 1) {
            int version = 0;
            if (key != Header || head.size() != 2 || !number(head[1], &version)) {
                *error = "no snapshot manifest";
                return false;
            }
            if (version != Version) {
                *error = "a manifest of version " + head[1] + ", which this program cannot read";
                return false;
            }
            continue;
        }
        if (key == "host" && head.size() == 2 && manifest->roots.empty()) {
            if (!decode(head[1], &manifest->host)) {
                *error = "the manifest's host is malformed";
                return false;
            }
            continue;
        }
        if (key == "created" && head.size() == 2 && manifest->roots.empty()) {
            if (!number(head[1], &manifest->created)) {
                *error = "the manifest's time is malformed";
                return false;
            }
            continue;
        }
        if (key == "root" && head.size() == 2 && manifest->entries.empty() && refused->empty()) {
            std::string root;
            if (!decode(head[1], &root) || root.empty() || root.front() != '/'
                || root.size() > MaximumPath || root.find('\0') != std::string::npos
                || manifest->roots.size() >= MaximumRoots) {
                *error = "root " + encode(head[1]) + " is malformed";
                return false;
            }
            manifest->roots.push_back(root);
            rootNames.insert(rootName(root));
            continue;
        }
        if (key == "end" && head.size() == 2) {
            if (!number(head[1], &written)) {
                *error = "the manifest's end is malformed";
                return false;
            }
            ended = true;
            continue;
        }

        // An entry: TYPE MODE SIZE MTIME INODE SHA256 EVENT [OFFSET] PATH [TARGET].
        Refusal refusal;
        refusal.line = lineNumber;
        const auto refuse = [&](const std::string &reason) {
            refusal.reason = reason;
            refused->push_back(refusal);
        };
        Entry entry;
        std::vector<std::string> parts = fields(line);
        if (key == "P" && parts.size() == 9) {
            // A file packed with others into one event, from OFFSET on.
            if (!number(parts[7], &entry.offset)) {
                refusal.path = parts[8];
                refuse("malformed numbers");
                continue;
            }
            parts.erase(parts.begin() + 7);
        }
        refusal.path = parts.size() > 7 ? parts[7] : std::string();
        const bool knownType = key == "F" || key == "P" || key == "D" || key == "L";
        entry.type = key == "F" || key == "P" ? Type::File : key == "D" ? Type::Folder : Type::Link;
        if (!knownType || parts.size() != (entry.type == Type::Link ? 9u : 8u)) {
            refuse("not an entry");
            continue;
        }
        if (!number(parts[1], &entry.mode, 8) || entry.mode > 07777
            || !number(parts[2], &entry.size)
            || !time(parts[3], &entry.mtimeSeconds, &entry.mtimeNanoseconds)
            || entry.mtimeNanoseconds > 999999999 || !number(parts[4], &entry.inode)) {
            refuse("malformed numbers");
            continue;
        }
        if (!decode(parts[7], &entry.path)) {
            refuse("a malformed path");
            continue;
        }
        const std::string problem = pathProblem(entry.path);
        if (!problem.empty()) {
            refuse(problem);
            continue;
        }
        if (entry.type == Type::File) {
            if (!isHex(parts[5], 64) || !decode(parts[6], &entry.event) || entry.event.empty()
                || entry.event.size() > 64
                || entry.event.find_first_of(std::string("/\0", 2)) != std::string::npos) {
                refuse("a file without a valid SHA-256 or event");
                continue;
            }
            entry.sha256 = parts[5];
        } else if (parts[5] != "-" || parts[6] != "-") {
            refuse("a folder or link with content");
            continue;
        }
        if (entry.type == Type::Link
            && (!decode(parts[8], &entry.target) || entry.target.empty()
                || entry.target.size() > MaximumPath
                || entry.target.find('\0') != std::string::npos)) {
            refuse("a link without a valid target");
            continue;
        }
        const std::string parent = parentOf(entry.path);
        if (parent.empty() ? !rootNames.count(entry.path) : !folders.count(parent)) {
            refuse(parent.empty() ? "an entry of no root" : "its folder is not in the snapshot");
            continue;
        }
        if (!paths.insert(entry.path).second) {
            refuse("a path listed twice");
            continue;
        }
        if (entry.type == Type::Folder)
            folders.insert(entry.path);
        manifest->entries.push_back(std::move(entry));
    }
    if (!ended) {
        *error = "the manifest has no end: it is cut off";
        return false;
    }
    if (written != manifest->entries.size() + refused->size()) {
        *error = "the manifest's end counts " + std::to_string(written) + " entries, not "
            + std::to_string(manifest->entries.size() + refused->size());
        return false;
    }
    return true;
}
