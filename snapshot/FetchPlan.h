#pragma once

#include <string>
#include <unordered_set>
#include <vector>

// What a restore asks the library to fetch into its local store. The library
// downloads only the events it does not hold: one it still lists as held
// while its file is gone (a restore killed after moving the file out) has its
// local record dropped first, or it would never come back.
class FetchPlan
{
public:
    // An event as the library's last read listed it: location 2 is held
    // locally and on the server; file is where the store keeps its bytes.
    void add(const std::string &id, int location, const std::string &file);

    // To download, each once, in the order given.
    const std::vector<std::string> &missing() const { return m_missing; }
    // Of those, the ones whose local record is to be dropped before.
    const std::vector<std::string> &emptied() const { return m_emptied; }

private:
    std::vector<std::string> m_missing;
    std::vector<std::string> m_emptied;
    std::unordered_set<std::string> m_seen;
};
