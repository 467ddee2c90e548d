#pragma once

#include <QByteArray>

// Bytes no two runs need to store: the same xorshift sequence every time,
// with no run of equal blocks a digest could pass by mistake.
inline QByteArray patternBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char &c : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        c = char(state);
    }
    return bytes;
}
