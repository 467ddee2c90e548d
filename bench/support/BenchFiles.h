#pragma once

#include <QString>

// The payloads the transfer benches send: bytes no compressor or cache along
// the way can shorten, and a byte-for-byte comparison of what came back.
class BenchFiles
{
public:
    static bool writePayload(const QString &path, qint64 size);
    static bool same(const QString &a, const QString &b);
};
