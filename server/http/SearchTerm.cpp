#include "http/SearchTerm.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace QuorvaneServer {

namespace {

// Bytes that do not form UTF-8 map into a range no character folds into.
constexpr char32_t StrayByteBase = 0x110000;

locale_t unicodeLocale()
{
    static const locale_t locale = [] {
        locale_t made = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return made ? made : newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
    }();
    return locale;
}

// The code point starting at text[i], or a stray byte; advances i.
char32_t decodeAt(std::string_view text, size_t &i)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    int size = 0;
    char32_t codePoint = 0;
    if (lead < 0x80) {
        ++i;
        return lead;
    } else if ((lead & 0xe0) == 0xc0) {
        size = 2;
        codePoint = lead & 0x1f;
    } else if ((lead & 0xf0) == 0xe0) {
        size = 3;
        codePoint = lead & 0x0f;
    } else if ((lead & 0xf8) == 0xf0) {
        size = 4;
        codePoint = lead & 0x07;
    }
    if (size == 0 || i + size > text.size()) {
        ++i;
        return StrayByteBase + lead;
    }
    for (int k = 1; k < size; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xc0) != 0x80) {
            ++i;
            return StrayByteBase + lead;
        }
        codePoint = (codePoint << 6) | (next & 0x3f);
    }
    static const char32_t smallest[] = { 0, 0, 0x80, 0x800, 0x10000 };
    if (codePoint < smallest[size] || codePoint > 0x10ffff
        || (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
        ++i;
        return StrayByteBase + lead;
    }
    i += size;
    return codePoint;
}

} // namespace

SearchTerm::SearchTerm(std::string_view text)
    : m_folded(fold(text))
{
}

bool SearchTerm::foundIn(std::string_view text) const
{
    return m_folded.empty() || fold(text).find(m_folded) != std::u32string::npos;
}

std::u32string SearchTerm::fold(std::string_view text)
{
    std::u32string folded;
    folded.reserve(text.size());
    const locale_t locale = unicodeLocale();
    for (size_t i = 0; i < text.size();) {
        const char32_t c = decodeAt(text, i);
        folded += c < StrayByteBase
            ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(c), locale))
            : c;
    }
    return folded;
}

} // namespace QuorvaneServer
