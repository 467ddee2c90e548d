#include "http/RequestHeaders.h"

#include "store/Sha256.h"

#include <algorithm>
#include <cctype>

namespace QuorvaneServer {

namespace {

bool parseOffset(const std::string &text, uint64_t &value)
{
    if (text.empty() || text.size() > 19
        || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    value = std::stoull(text);
    return true;
}

} // namespace

RequestHeaders::Range RequestHeaders::range(const std::string &field, uint64_t size,
                                            uint64_t &first, uint64_t &last)
{
    const std::string unit = "bytes=";
    if (field.size() <= unit.size() || field.compare(0, unit.size(), unit) != 0)
        return Range::Whole;
    const std::string spec = field.substr(unit.size());
    const size_t dash = spec.find('-');
    if (dash == std::string::npos || spec.find(',') != std::string::npos)
        return Range::Whole;
    const std::string from = spec.substr(0, dash);
    const std::string to = spec.substr(dash + 1);
    uint64_t a = 0;
    uint64_t b = 0;
    if (from.empty()) {
        if (!parseOffset(to, b))
            return Range::Whole;
        if (b == 0 || size == 0)
            return Range::Outside;
        first = size > b ? size - b : 0;
        last = size - 1;
        return Range::Part;
    }
    if (!parseOffset(from, a) || (!to.empty() && !parseOffset(to, b)))
        return Range::Whole;
    if (!to.empty() && b < a)
        return Range::Whole;
    if (a >= size)
        return Range::Outside;
    first = a;
    last = to.empty() || b >= size ? size - 1 : b;
    return Range::Part;
}

bool RequestHeaders::digestAgrees(const std::string &field, const std::string &digest)
{
    const auto unpadded = [](std::string text) {
        while (!text.empty() && text.back() == '=')
            text.pop_back();
        return text;
    };
    const std::string ours = Sha256::reprDigest(digest);
    const std::string expected = unpadded(ours.substr(9, ours.size() - 10));
    size_t start = 0;
    while (start <= field.size()) {
        const size_t comma = std::min(field.find(',', start), field.size());
        const std::string member = field.substr(start, comma - start);
        start = comma + 1;
        const size_t first = member.find_first_not_of(" \t");
        const size_t equals = member.find('=');
        if (first == std::string::npos || equals == std::string::npos)
            continue;
        std::string name = member.substr(first, equals - first);
        for (char &c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (name != "sha-256")
            continue;
        const size_t last = member.find_last_not_of(" \t");
        const std::string value = member.substr(equals + 1, last - equals);
        if (value.size() < 2 || value.front() != ':' || value.back() != ':'
            || unpadded(value.substr(1, value.size() - 2)) != expected)
            return false;
    }
    return true;
}

} // namespace QuorvaneServer
