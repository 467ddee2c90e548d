#include "FetchPlan.h"

#include <unistd.h>

namespace {

constexpr int HeldLocallyAndOnServer = 2;

} // namespace

void FetchPlan::add(const std::string &id, int location, const std::string &file)
{
    if (::access(file.c_str(), R_OK) == 0 || !m_seen.insert(id).second)
        return;
    m_missing.push_back(id);
    if (location == HeldLocallyAndOnServer)
        m_emptied.push_back(id);
}
