#include "KnownIds.h"

#include "EventNative.h"

namespace {

std::string idOf(const Quorvane::EventNative *event)
{
    return event->id ? std::string(event->id) : std::string();
}

} // namespace

std::size_t KnownIds::knownBetween(const std::string &first, const std::string &last) const
{
    const std::size_t upTo = m_ids.order_of_key(last) + (m_ids.find(last) != m_ids.end() ? 1 : 0);
    const std::size_t before = m_ids.order_of_key(first);
    return upTo > before ? upTo - before : 0;
}

void KnownIds::search(Quorvane::EventNative *const *list, int begin, int end,
                      std::vector<int> *found) const
{
    const std::size_t entries = std::size_t(end - begin);
    if (entries == 0 || knownBetween(idOf(list[begin]), idOf(list[end - 1])) >= entries)
        return;
    if (entries == 1) {
        found->push_back(begin);
        return;
    }
    const int middle = begin + int(entries / 2);
    search(list, begin, middle, found);
    search(list, middle, end, found);
}

void KnownIds::takeNew(Quorvane::EventNative *const *list, int count,
                       std::vector<EventRecord> *fresh)
{
    if (!list || count <= 0)
        return;
    std::vector<int> found;
    bool settled = false;
    if (std::size_t(count) >= m_ids.size()) {
        search(list, 0, count, &found);
        // A list that was not ordered shows as a count that does not add
        // up: then every event is looked at.
        settled = found.size() == std::size_t(count) - m_ids.size();
    }
    if (settled) {
        for (const int index : found)
            m_ids.insert(idOf(list[index]));
    } else {
        found.clear();
        for (int i = 0; i < count; ++i)
            if (m_ids.insert(idOf(list[i])).second)
                found.push_back(i);
    }
    for (const int index : found)
        fresh->push_back(EventRecord::from(*list[index]));
}
