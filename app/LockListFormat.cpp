#include "LockListFormat.h"

#include <cstring>

QList<QByteArray> LockListFormat::lines(const QByteArray &content)
{
    if (content.isEmpty())
        return {};
    QList<QByteArray> lines = content.split('\n');
    if (content.endsWith('\n'))
        lines.removeLast();
    return lines;
}

bool LockListFormat::removeLine(QByteArray *content, const QByteArray &path)
{
    qsizetype start = 0;
    while (start < content->size()) {
        qsizetype end = content->indexOf('\n', start);
        if (end < 0)
            end = content->size();
        if (end - start == path.size()
            && std::memcmp(content->constData() + start, path.constData(), path.size()) == 0) {
            content->remove(start, qMin(end + 1, content->size()) - start);
            return true;
        }
        start = end + 1;
    }
    return false;
}

QByteArray LockListFormat::appendLine(QByteArray content, const QByteArray &path)
{
    if (!content.isEmpty() && !content.endsWith('\n'))
        content += '\n';
    content += path;
    content += '\n';
    return content;
}
