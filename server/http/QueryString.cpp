#include "http/QueryString.h"

#include <algorithm>

namespace QuorvaneServer {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

template<typename Visit> void forEachItem(std::string_view query, Visit visit)
{
    while (!query.empty()) {
        const size_t amp = query.find('&');
        const std::string_view item = query.substr(0, amp);
        if (!item.empty()) {
            const size_t eq = item.find('=');
            if (eq == std::string_view::npos)
                visit(item, std::string_view(), false);
            else
                visit(item.substr(0, eq), item.substr(eq + 1), true);
        }
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
}

std::string_view queryOf(std::string_view target)
{
    const size_t mark = target.find('?');
    return mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
}

void appendEscaped(std::string &out, std::string_view text)
{
    static const char digits[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 0x20 && byte < 0x7f) {
            out += c;
        } else {
            out += '%';
            out += digits[byte >> 4];
            out += digits[byte & 0xf];
        }
    }
}

} // namespace

QueryString::QueryString(std::string_view target)
{
    forEachItem(queryOf(target), [this](std::string_view key, std::string_view value, bool) {
        m_items.emplace_back(decode(key), decode(value));
    });
}

bool QueryString::has(std::string_view key) const
{
    return std::any_of(m_items.begin(), m_items.end(),
                       [key](const auto &item) { return item.first == key; });
}

std::string QueryString::value(std::string_view key) const
{
    for (const auto &item : m_items) {
        if (item.first == key)
            return item.second;
    }
    return std::string();
}

std::string QueryString::decode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0
            && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string QueryString::forLog(std::string_view target,
                                const std::vector<std::string_view> &secretKeys)
{
    const size_t mark = target.find('?');
    std::string out;
    appendEscaped(out, target.substr(0, mark));
    if (mark == std::string_view::npos)
        return out;
    out += '?';
    bool first = true;
    forEachItem(target.substr(mark + 1),
                [&](std::string_view key, std::string_view value, bool hasValue) {
                    if (!first)
                        out += '&';
                    first = false;
                    appendEscaped(out, key);
                    if (!hasValue)
                        return;
                    out += '=';
                    const std::string name = decode(key);
                    if (std::find(secretKeys.begin(), secretKeys.end(), name) != secretKeys.end())
                        out += '*';
                    else
                        appendEscaped(out, value);
                });
    return out;
}

} // namespace QuorvaneServer
