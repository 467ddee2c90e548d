#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace QuorvaneServer {

// The query of a request target. Values are percent-decoded as URI components
// only: a "+" stays a plus sign, because clients send some values unencoded.
class QueryString
{
public:
    explicit QueryString(std::string_view target);

    bool has(std::string_view key) const;
    // The first value given for key, or empty.
    std::string value(std::string_view key) const;

    // Percent-decodes text; a "%" not followed by two hex digits stays as it is.
    static std::string decode(std::string_view text);

    // The target with the values of secretKeys replaced by "*" and every byte
    // outside printable ASCII escaped: fit for a log line.
    static std::string forLog(std::string_view target,
                              const std::vector<std::string_view> &secretKeys);

private:
    std::vector<std::pair<std::string, std::string>> m_items;
};

} // namespace QuorvaneServer
