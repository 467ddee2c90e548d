// Content-Range values as a server may send them: a start is only taken from
// a whole "bytes first-last/length" whose numbers are in order.
#include "ServerTransfer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using Quorvane::ServerTransfer;
    const QByteArray value(reinterpret_cast<const char *>(data), qsizetype(size));
    const qint64 first = ServerTransfer::contentRangeStart(value);
    if (first < -1)
        __builtin_trap();
    if (first >= 0) {
        // Leading zeros are digits all the same.
        const QByteArray range = value.trimmed().mid(6).trimmed();
        const QByteArray digits = range.left(range.indexOf('-'));
        bool ok = false;
        if (!value.trimmed().toLower().startsWith("bytes ") || digits.isEmpty()
            || !std::all_of(digits.begin(), digits.end(),
                            [](char c) { return c >= '0' && c <= '9'; })
            || digits.toLongLong(&ok) != first || !ok || !range.contains('/'))
            __builtin_trap();
    }
    // What it takes, it takes again when written out anew.
    if (first >= 0) {
        const QByteArray again = "bytes " + QByteArray::number(first) + "-"
            + QByteArray::number(first) + "/" + QByteArray::number(first + 1);
        if (ServerTransfer::contentRangeStart(again) != first)
            __builtin_trap();
    }
    return 0;
}
