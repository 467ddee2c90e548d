#pragma once

#include "EventRecord.h"

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>
#include <string>
#include <vector>

namespace Quorvane {
struct EventNative;
}

// The ids a run of adds has seen. The library lists its events ordered by the
// bytes of their ids, and a list that only grew holds every known id: the new
// ones are then found by halving the list where it holds more ids than are
// known between its ends, so a report of n events costs log n, not n. A list
// that holds fewer events than are known, or whose count does not add up, is
// looked at whole.
class KnownIds
{
public:
    // Appends the events of the list whose ids are not known yet, in list
    // order, and learns their ids.
    void takeNew(Quorvane::EventNative *const *list, int count, std::vector<EventRecord> *fresh);
    std::size_t size() const { return m_ids.size(); }

private:
    // Ordered, and each id knows its rank.
    using Tree
        = __gnu_pbds::tree<std::string, __gnu_pbds::null_type, std::less<std::string>,
                           __gnu_pbds::rb_tree_tag, __gnu_pbds::tree_order_statistics_node_update>;

    std::size_t knownBetween(const std::string &first, const std::string &last) const;
    void search(Quorvane::EventNative *const *list, int begin, int end,
                std::vector<int> *found) const;

    Tree m_ids;
};
