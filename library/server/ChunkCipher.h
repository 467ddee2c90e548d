#pragma once

#include "CipherBinding.h"
#include "FileCipher.h"
#include "MasterKey.h"

#include <QByteArray>
#include <memory>

namespace Quorvane {

// One format version's work on a sealed file: its header, and sealing or
// opening one chunk. Everything that writes or reads sealed files goes
// through it, so a version's rules live in one place (its subclass).
class ChunkCipher
{
public:
    // What a file's first bytes say about the rest.
    struct Layout
    {
        int version = 0;
        int headerSize = 0;
        int chunkSize = 0;
        int overhead = 0; // bytes a chunk grows by when sealed
        bool valid() const { return headerSize > 0; }
    };

    virtual ~ChunkCipher();
    ChunkCipher(const ChunkCipher &) = delete;
    ChunkCipher &operator=(const ChunkCipher &) = delete;

    // From the first FileCipher::PrefixSize bytes (or more); invalid when
    // they are not a header this build reads.
    static Layout layout(const QByteArray &prefix);
    // A new file's cipher, with a header of its own (fresh randomness);
    // null for a version or chunk size this build does not write.
    static std::unique_ptr<ChunkCipher> forSealing(int version, const MasterKey &key,
                                                   const CipherBinding &binding, int chunkSize);
    // A written file's cipher from its whole header; null with the reason
    // when the header is not one the key opens.
    static std::unique_ptr<ChunkCipher> forOpening(const QByteArray &header, const MasterKey &key,
                                                   const CipherBinding &binding,
                                                   FileCipher::Result &why);

    const QByteArray &header() const { return m_header; }
    int chunkSize() const { return m_layout.chunkSize; }
    int overhead() const { return m_layout.overhead; }
    // The sealed file's size, header included.
    qint64 sealedSize(qint64 plainSize) const;

    // Whether seal() takes chunks in any order; if not, each chunk after the
    // one before it, or chunk 0 again to start over.
    virtual bool sealsInAnyOrder() const = 0;
    // Seals chunk index (last: the file's last) into out, which holds
    // size + overhead() bytes and does not overlap plain.
    virtual bool seal(qint64 index, bool last, const unsigned char *plain, qint64 size,
                      unsigned char *out)
        = 0;
    // Opens the chunk after the last one opened into plain, which holds
    // size - overhead() bytes; false when it does not authenticate. Plain
    // bytes may be written either way: only those of a true answer count.
    virtual bool open(const unsigned char *sealed, qint64 size, unsigned char *plain, bool &last)
        = 0;

protected:
    // The bytes every version's header starts with.
    static QByteArray prefix(int version, const MasterKey &key, int chunkSize);
    // associated: the header bytes every chunk authenticates, the binding
    // follows them.
    ChunkCipher(const Layout &layout, const QByteArray &header, const QByteArray &associated,
                const CipherBinding &binding);

    // Every chunk's associated data.
    const QByteArray &associated() const { return m_associated; }

private:
    Layout m_layout;
    QByteArray m_header;
    QByteArray m_associated;
};

} // namespace Quorvane
