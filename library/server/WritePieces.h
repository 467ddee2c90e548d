#pragma once

#include <QtGlobal>

namespace Quorvane {

// Received bytes reach a file in writes of this size: a whole 1 MiB block in
// one write has the kernel take large folios for the page cache, which cost
// the writing thread several times the processor time when free memory is
// fragmented; 64 KiB writes kept it steady.
constexpr qint64 WritePiece = 64 * 1024;

// Writes size bytes through write(data, length) in pieces of WritePiece;
// false as soon as one piece is not taken whole.
template<class Write> bool writePieces(const char *data, qint64 size, Write write)
{
    for (qint64 at = 0; at < size; at += WritePiece) {
        const qint64 piece = qMin(WritePiece, size - at);
        if (write(data + at, piece) != piece)
            return false;
    }
    return true;
}

} // namespace Quorvane
