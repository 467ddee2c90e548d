// The lock list file as any program or a torn write may leave it: splitting,
// cutting a line and appending one must keep every other line as it was.
#include "LockListFormat.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const QList<QByteArray> lines = LockListFormat::lines(content);
    QByteArray joined = lines.join('\n');
    if (content.endsWith('\n'))
        joined += '\n';
    if (joined != content)
        __builtin_trap();

    // A listed path, chosen by the first byte, or one that is not listed.
    const QByteArray path = !lines.isEmpty() && size > 0 ? lines.at(data[0] % lines.size())
                                                         : QByteArray("/not/listed");
    QByteArray cut = content;
    const qsizetype index = lines.indexOf(path);
    if (LockListFormat::removeLine(&cut, path) != (index >= 0))
        __builtin_trap();
    QList<QByteArray> expected = lines;
    if (index >= 0)
        expected.removeAt(index);
    if (LockListFormat::lines(cut) != expected)
        __builtin_trap();

    if (!path.contains('\n')) {
        expected = lines;
        expected.append(path);
        if (LockListFormat::lines(LockListFormat::appendLine(content, path)) != expected)
            __builtin_trap();
    }
    return 0;
}
