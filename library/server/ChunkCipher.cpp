#include "ChunkCipher.h"

#include "GcmChunkCipher.h"
#include "StreamChunkCipher.h"

namespace Quorvane {

namespace {

constexpr char Magic[] = "QVEF";
constexpr int MagicSize = 4;
constexpr int ChunkSizeAt = MagicSize + 1 + MasterKey::IdSize;
static_assert(ChunkSizeAt + 4 == FileCipher::PrefixSize, "the prefix's layout");

} // namespace

ChunkCipher::ChunkCipher(const Layout &layout, const QByteArray &header,
                         const QByteArray &associated, const CipherBinding &binding)
    : m_layout(layout)
    , m_header(header)
    , m_associated(associated + binding.bytes())
{
}

ChunkCipher::~ChunkCipher() = default;

QByteArray ChunkCipher::prefix(int version, const MasterKey &key, int chunkSize)
{
    QByteArray out(Magic, MagicSize);
    out += char(version);
    out += key.id();
    for (int shift = 0; shift < 32; shift += 8)
        out += char((quint32(chunkSize) >> shift) & 0xff);
    return out;
}

ChunkCipher::Layout ChunkCipher::layout(const QByteArray &prefix)
{
    Layout out;
    if (prefix.size() < FileCipher::PrefixSize || !FileCipher::isEncrypted(prefix))
        return out;
    quint32 chunkSize = 0;
    for (int i = 0; i < 4; ++i)
        chunkSize |= quint32(quint8(prefix.at(ChunkSizeAt + i))) << (8 * i);
    if (chunkSize < 1 || chunkSize > quint32(FileCipher::MaxChunkSize))
        return out;
    out.chunkSize = int(chunkSize);
    out.version = quint8(prefix.at(MagicSize));
    switch (out.version) {
    case StreamChunkCipher::Version:
        out.headerSize = StreamChunkCipher::HeaderSize;
        out.overhead = StreamChunkCipher::Overhead;
        break;
    case GcmChunkCipher::Version:
        out.headerSize = GcmChunkCipher::HeaderSize;
        out.overhead = GcmChunkCipher::Overhead;
        break;
    default:
        break;
    }
    return out;
}

qint64 ChunkCipher::sealedSize(qint64 plainSize) const
{
    // An empty file is one empty final chunk.
    const qint64 chunks = plainSize == 0 ? 1 : (plainSize + chunkSize() - 1) / chunkSize();
    return m_header.size() + plainSize + chunks * overhead();
}

std::unique_ptr<ChunkCipher> ChunkCipher::forSealing(int version, const MasterKey &key,
                                                     const CipherBinding &binding, int chunkSize)
{
    if (chunkSize < 1 || chunkSize > FileCipher::MaxChunkSize)
        return nullptr;
    switch (version) {
    case StreamChunkCipher::Version:
        return StreamChunkCipher::sealing(key, binding, chunkSize);
    case GcmChunkCipher::Version:
        return GcmChunkCipher::sealing(key, binding, chunkSize);
    default:
        return nullptr;
    }
}

std::unique_ptr<ChunkCipher> ChunkCipher::forOpening(const QByteArray &header, const MasterKey &key,
                                                     const CipherBinding &binding,
                                                     FileCipher::Result &why)
{
    why = FileCipher::Result::Damaged;
    if (!FileCipher::isEncrypted(header)) {
        why = FileCipher::Result::NotEncrypted;
        return nullptr;
    }
    const Layout found = layout(header);
    if (!found.valid() || header.size() != found.headerSize)
        return nullptr;
    if (header.mid(MagicSize + 1, MasterKey::IdSize) != key.id()) {
        why = FileCipher::Result::WrongKey;
        return nullptr;
    }
    std::unique_ptr<ChunkCipher> out = found.version == StreamChunkCipher::Version
        ? StreamChunkCipher::opening(found, header, key, binding)
        : GcmChunkCipher::opening(found, header, key, binding);
    if (out)
        why = FileCipher::Result::Done;
    return out;
}

} // namespace Quorvane
