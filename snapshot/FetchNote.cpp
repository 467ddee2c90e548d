#include "FetchNote.h"

#include "OwnFile.h"
#include "ProcessOwnedName.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

const std::string NotePrefix = ".quorvane-fetched-";
// An event id is 36 characters; the rest of a line is no id of ours.
constexpr std::size_t LongestId = 64;

bool isId(const std::string &line)
{
    if (line.empty() || line.size() > LongestId)
        return false;
    for (const char c : line)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'
              || c == '_'))
            return false;
    return true;
}

// Whatever lies under a note's name: only a file of ours is read, line by
// line in bounded memory.
void readIds(const std::string &note, std::vector<std::string> *ids)
{
    std::string problem;
    const int fd = Platform::OwnFile::open(note, O_RDONLY, &problem);
    if (fd < 0)
        return;
    std::string line;
    bool tooLong = false;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] != '\n') {
                tooLong = tooLong || line.size() > LongestId;
                if (!tooLong)
                    line += buffer[i];
                continue;
            }
            if (!tooLong && isId(line))
                ids->push_back(line);
            line.clear();
            tooLong = false;
        }
    }
    ::close(fd);
}

} // namespace

FetchNote::FetchNote(std::string store)
    : m_store(std::move(store))
{
}

std::string FetchNote::add(const std::vector<std::string> &ids)
{
    if (ids.empty() || m_store.empty())
        return std::string();
    if (m_notes.empty())
        m_notes.push_back(m_store + "/" + ProcessOwnedName::make(NotePrefix, 0));
    std::string text;
    for (const std::string &id : ids)
        text += id + '\n';
    std::string problem;
    const int fd
        = Platform::OwnFile::open(m_notes.front(), O_WRONLY | O_CREAT | O_APPEND, &problem);
    if (fd < 0)
        return "the note of fetched events cannot be written: " + problem;
    const char *data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            break;
        data += written;
        left -= std::size_t(written);
    }
    ::close(fd);
    return std::string();
}

std::vector<std::string> FetchNote::adoptLeftovers()
{
    std::vector<std::string> ids;
    DIR *listing = m_store.empty() ? nullptr : ::opendir(m_store.c_str());
    if (!listing)
        return ids;
    // The main note keeps number 0; those taken over follow it.
    if (m_notes.empty())
        m_notes.push_back(m_store + "/" + ProcessOwnedName::make(NotePrefix, 0));
    while (const dirent *entry = ::readdir(listing)) {
        if (!ProcessOwnedName::leftBehind(entry->d_name, NotePrefix))
            continue;
        // Renamed first: of two runs that find it, one takes it.
        const std::string mine
            = m_store + "/" + ProcessOwnedName::make(NotePrefix, unsigned(m_notes.size()));
        if (::rename((m_store + "/" + entry->d_name).c_str(), mine.c_str()) != 0)
            continue;
        m_notes.push_back(mine);
        readIds(mine, &ids);
    }
    ::closedir(listing);
    return ids;
}

void FetchNote::remove()
{
    for (const std::string &note : m_notes)
        ::unlink(note.c_str());
    m_notes.clear();
}
