// Repr-Digest field lines as a server may send them: the digest is none, a
// sha-256's 32 bytes or "invalid", and lines fold as one list.
#include "ServerTransfer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using Quorvane::ServerTransfer;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    QByteArray folded;
    for (const QByteArray &line : bytes.split('\n'))
        folded = ServerTransfer::foldReprDigest(folded, line);
    if (!folded.isEmpty() && folded != "invalid" && folded.size() != 32)
        __builtin_trap();
    QByteArray joined = bytes;
    joined.replace('\n', ',');
    if (ServerTransfer::foldReprDigest(QByteArray(), joined) != folded)
        __builtin_trap();
    // Once invalid, always invalid.
    if (folded == "invalid" && ServerTransfer::foldReprDigest(folded, bytes) != "invalid")
        __builtin_trap();
    return 0;
}
