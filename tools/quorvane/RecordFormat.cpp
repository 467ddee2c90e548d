#include "RecordFormat.h"

#include <algorithm>
#include <cstdio>

namespace {

// Length of the UTF-8 sequence starting at text[i], or 0 when it is invalid.
std::size_t sequenceLength(const std::string &text, std::size_t i)
{
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length;
    unsigned minimum;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    unsigned value = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

std::size_t characters(const std::string &text)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const std::size_t length = sequenceLength(text, i);
        i += length ? length : 1;
    }
    return count;
}

std::string padded(const std::string &text, std::size_t columns)
{
    const std::size_t count = characters(text);
    return count >= columns ? text : text + std::string(columns - count, ' ');
}

} // namespace

std::string RecordFormat::jsonString(const std::string &text)
{
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        // A C1 control (U+0080..U+009F) steers a terminal as much as a C0 one.
        if (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x",
                          static_cast<unsigned char>(text[i + 1]));
            out += escaped;
        } else if (length > 1) {
            out.append(text, i, length);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += char(c);
        }
        i += length;
    }
    return out + "\"";
}

std::string RecordFormat::fit(const std::string &text, std::size_t columns)
{
    if (characters(text) <= columns)
        return text;
    const std::size_t keep = columns > 3 ? columns - 3 : 0;
    std::string out;
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size() && count < keep; ++count) {
        const std::size_t length = sequenceLength(text, i);
        out.append(text, i, length ? length : 1);
        i += length ? length : 1;
    }
    return out + std::string("...").substr(0, columns - keep);
}

std::string RecordFormat::printable(const std::string &text, bool keepLines)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequenceLength(text, i);
        const bool line = c == '\n' || c == '\t';
        // C1 controls arrive as U+0080..U+009F, two bytes starting with 0xC2.
        const bool control = (length == 1 && (c < 0x20 || c == 0x7F))
            || (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (length == 0 || (control && !(keepLines && line)))
            out += '?';
        else
            out.append(text, i, length);
        i += length ? length : 1;
    }
    return out;
}

std::string RecordFormat::escaped(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const std::size_t length = sequenceLength(text, i);
        const bool control = (length == 1 && (c < 0x20 || c == 0x7F))
            || (length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0);
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (length == 0 || control) {
            // A C1 control is escaped byte by byte, as its UTF-8 bytes.
            for (std::size_t k = 0; k < (length ? length : 1); ++k) {
                char hex[5];
                std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(text[i + k]));
                out += hex;
            }
        } else {
            out.append(text, i, length);
        }
        i += length ? length : 1;
    }
    return out;
}

bool RecordFormat::isUtf8(const std::string &text)
{
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceLength(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

bool RecordFormat::isStorable(const std::string &text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t')
            return false;
    return isUtf8(text);
}

void RecordFormat::table(std::ostream &out, const std::vector<EventRecord> &records, int width)
{
    std::vector<const EventRecord *> rows;
    rows.reserve(records.size());
    for (const EventRecord &record : records)
        rows.push_back(&record);
    table(out, rows, width);
}

void RecordFormat::table(std::ostream &out, const std::vector<const EventRecord *> &records,
                         int width)
{
    // id, time, kind, access, where; the name takes what is left of the line.
    // A narrow terminal shows ids by their first characters, which every
    // command takes as well.
    static const std::size_t FullId = 36, ShortId = 8, Time = 16, Kind = 4, Access = 6, Where = 6,
                             MinimumName = 20;
    const std::size_t rest = Time + Kind + Access + Where + 5;
    const std::size_t Id
        = width > 0 && std::size_t(width) < FullId + rest + MinimumName ? ShortId : FullId;
    const std::size_t nameColumns = width > 0
        ? std::max<std::size_t>(std::size_t(width) > Id + rest ? width - Id - rest : 0, 10)
        : 0;
    const auto row = [&](const std::string &id, const std::string &time, const std::string &kind,
                         const std::string &access, const std::string &where,
                         const std::string &name) {
        const std::string cell = printable(name);
        out << padded(printable(id).substr(0, Id), Id) << ' ' << padded(time, Time) << ' '
            << padded(kind, Kind) << ' ' << padded(access, Access) << ' ' << padded(where, Where)
            << ' ' << (nameColumns ? fit(cell, nameColumns) : cell) << '\n';
    };
    row("ID", "TIME", "KIND", "ACCESS", "WHERE", "NAME");
    // Lists do not carry the sharing level; the server keeps it.
    for (const EventRecord *record : records)
        row(record->id, record->localTime(), record->kind(), "-", record->where(), record->name);
}

void RecordFormat::json(std::ostream &out, const EventRecord &record)
{
    out << "{\"id\":" << jsonString(record.id) << ",\"name\":" << jsonString(record.name)
        << ",\"description\":" << jsonString(record.description)
        << ",\"path\":" << jsonString(record.path) << ",\"content\":" << jsonString(record.content)
        << ",\"type\":" << jsonString(record.type)
        << ",\"recordTime\":" << jsonString(record.recordTime)
        << ",\"recordChanged\":" << jsonString(record.recordChanged)
        << ",\"kind\":" << jsonString(record.kind()) << ",\"location\":" << record.location
        << ",\"where\":" << jsonString(record.where()) << "}\n";
}

void RecordFormat::fields(std::ostream &out, const EventRecord &record)
{
    const auto line
        = [&](const char *label, const std::string &value) { out << label << value << '\n'; };
    // Every text may come from a server; only the description, printed last,
    // keeps its own lines.
    line("id:          ", printable(record.id));
    line("name:        ", printable(record.name));
    line("time:        ", record.localTime());
    line("kind:        ", record.kind());
    line("where:       ", record.where());
    line("path:        ", printable(record.path));
    line("type:        ", printable(record.type));
    line("content:     ", printable(record.content));
    line("description: ", printable(record.description, true));
}
