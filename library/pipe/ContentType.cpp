#include "ContentType.h"

namespace Quorvane {

namespace {

struct Row
{
    const char *endings[10];
    const char *type; // nullptr: "image/" followed by the extension
};

// Checked top to bottom; the first row with a matching ending wins.
const Row rows[] = {
    { { ".pdf" }, "application/pdf" },
    { { ".doc", ".docx" }, "application/msword" },
    { { ".xls", ".xlsx" }, "application/vnd.ms-excel" },
    { { ".ppt", ".pptx" }, "application/vnd.ms-powerpoint" },
    { { ".zip" }, "application/zip" },
    { { ".rar" }, "application/x-rar-compressed" },
    { { ".mpeg", ".mpg", ".avi", ".wmv", ".mov", ".qt" }, "video/" },
    { { ".mp3", ".wav", ".wma", ".mid", ".midi", ".aiff", ".aif", ".rpm", ".ram", ".rm" },
      "audio/" },
    { { ".txt", ".rtf" }, "text/plain" },
    { { ".exe", ".bin", ".dll", ".so" }, "application/octet-stream" },
    { { ".odt", ".ods", ".odp", ".odg" }, "application/vnd.oasis.opendocument.text" },
    { { ".jpg", ".jpeg", ".png", ".gif", ".tiff", ".tif", ".bmp", ".svg", ".ico" }, nullptr },
};

// Latin-1 lowering, byte by byte (QByteArray::toLower only maps ASCII).
QByteArray latin1Lower(const QByteArray &text)
{
    QByteArray lowered = text;
    for (char &c : lowered) {
        const uchar u = uchar(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 0xC0 && u <= 0xDE && u != 0xD7))
            c = char(u + 0x20);
    }
    return lowered;
}

} // namespace

QByteArray contentTypeFor(const QByteArray &path)
{
    if (path.isEmpty())
        return QByteArray();
    const QByteArray lowered = latin1Lower(path);
    for (const Row &row : rows) {
        for (const char *ending : row.endings) {
            if (!ending)
                break;
            if (!lowered.endsWith(ending))
                continue;
            // The path ends with the matched ending, so the extension after the
            // last dot is that ending without its dot.
            return row.type ? QByteArray(row.type) : QByteArray("image/") + (ending + 1);
        }
    }
    return QByteArray();
}

} // namespace Quorvane
