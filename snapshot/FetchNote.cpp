#include "FetchNote.h"

#include "ProcessOwnedName.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
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

} // namespace

FetchNote::FetchNote(std::string store)
    : m_store(std::move(store))
{
}

void FetchNote::add(const std::vector<std::string> &ids)
{
    if (ids.empty() || m_store.empty())
        return;
    if (m_notes.empty())
        m_notes.push_back(m_store + "/" + ProcessOwnedName::make(NotePrefix, 0));
    std::string text;
    for (const std::string &id : ids)
        text += id + '\n';
    const int fd = ::open(m_notes.front().c_str(),
                          O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
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
        std::ifstream note(mine);
        std::string line;
        while (std::getline(note, line))
            if (isId(line))
                ids.push_back(line);
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
