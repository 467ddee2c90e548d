#include "BenchFiles.h"

#include <QByteArray>
#include <QFile>

bool BenchFiles::writePayload(const QString &path, qint64 size)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(4 * 1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ull;
    for (qint64 written = 0; written < size;) {
        auto *words = reinterpret_cast<quint64 *>(block.data());
        for (qsizetype i = 0; i < block.size() / 8; ++i) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        const qint64 part = qMin<qint64>(block.size(), size - written);
        if (file.write(block.constData(), part) != part)
            return false;
        written += part;
    }
    return true;
}

bool BenchFiles::same(const QString &a, const QString &b)
{
    QFile first(a), second(b);
    if (!first.open(QIODevice::ReadOnly) || !second.open(QIODevice::ReadOnly)
        || first.size() != second.size())
        return false;
    while (!first.atEnd()) {
        if (first.read(4 * 1024 * 1024) != second.read(4 * 1024 * 1024))
            return false;
    }
    return true;
}
