#pragma once

#include <string>
#include <string_view>

namespace QuorvaneServer {

// A case-insensitive substring search. Text is read as UTF-8 and compared by
// lower-case Unicode letters; bytes that are not UTF-8 match only themselves.
class SearchTerm
{
public:
    explicit SearchTerm(std::string_view text);

    bool isEmpty() const { return m_folded.empty(); }
    bool foundIn(std::string_view text) const;

private:
    static std::u32string fold(std::string_view text);

    std::u32string m_folded;
};

} // namespace QuorvaneServer
