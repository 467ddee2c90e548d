#include "FileDecryptor.h"

#include <cstring>

namespace Quorvane {

namespace {

constexpr int MagicSize = 4;
constexpr int PrefixSize = MagicSize + 1 + MasterKey::IdSize + 4;
constexpr int Abytes = crypto_secretstream_xchacha20poly1305_ABYTES;

} // namespace

FileDecryptor::FileDecryptor(const MasterKey &key, const CipherBinding &binding, Writer writer)
    : m_key(key)
    , m_binding(binding)
    , m_writer(std::move(writer))
{
    MasterKey::setUpSodium();
}

FileDecryptor::FileDecryptor(const MasterKey &key, const CipherBinding &binding, Taker taker)
    : m_key(key)
    , m_binding(binding)
    , m_taker(std::move(taker))
{
    MasterKey::setUpSodium();
}

FileDecryptor::~FileDecryptor()
{
    sodium_memzero(&m_state, sizeof m_state);
}

bool FileDecryptor::fail(FileCipher::Result result)
{
    m_result = result;
    m_pending.clear();
    m_filled = 0;
    return false;
}

bool FileDecryptor::readHeader()
{
    const QByteArray &header = m_pending;
    if (!FileCipher::isEncrypted(header.left(MagicSize)))
        return fail(FileCipher::Result::NotEncrypted);
    if (header.at(MagicSize) != char(FileCipher::Version))
        return fail(FileCipher::Result::Damaged);
    if (header.mid(MagicSize + 1, MasterKey::IdSize) != m_key.id())
        return fail(FileCipher::Result::WrongKey);
    quint32 chunkSize = 0;
    for (int i = 0; i < 4; ++i)
        chunkSize |= quint32(quint8(header.at(MagicSize + 1 + MasterKey::IdSize + i))) << (8 * i);
    if (chunkSize < 1 || chunkSize > quint32(FileCipher::MaxChunkSize))
        return fail(FileCipher::Result::Damaged);
    m_associated = header.left(PrefixSize) + m_binding.bytes();
    MasterKey::Subkey subkey = m_key.subkey(MasterKey::Purpose::FileBytes);
    const int started = crypto_secretstream_xchacha20poly1305_init_pull(
        &m_state, reinterpret_cast<const unsigned char *>(header.constData()) + PrefixSize,
        subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    if (started != 0)
        return fail(FileCipher::Result::Damaged);
    m_sealedChunk = qint64(chunkSize) + Abytes;
    // Both buffers once, at their full size: reallocating them for every
    // piece of a download cost more than the decryption.
    m_plain.resize(qsizetype(chunkSize));
    m_chunk.resize(qsizetype(m_sealedChunk));
    m_filled = 0;
    m_pending.clear();
    m_headerRead = true;
    return true;
}

bool FileDecryptor::openChunk(const char *sealed, qint64 size)
{
    if (m_finalSeen || size < Abytes)
        return fail(FileCipher::Result::Damaged);
    unsigned long long plainSize = 0;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(
            &m_state, reinterpret_cast<unsigned char *>(m_plain.data()), &plainSize, &tag,
            reinterpret_cast<const unsigned char *>(sealed), quint64(size),
            reinterpret_cast<const unsigned char *>(m_associated.constData()),
            quint64(m_associated.size()))
        != 0)
        return fail(FileCipher::Result::Damaged);
    m_finalSeen = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
    // Only the last chunk may be short.
    if (!m_finalSeen && size < m_sealedChunk)
        return fail(FileCipher::Result::Damaged);
    if (m_taker) {
        const qsizetype chunkSize = qsizetype(m_sealedChunk - Abytes);
        m_plain.resize(qsizetype(plainSize));
        const bool kept = m_taker(m_plain);
        // Within the capacity of what was swapped in, this does not allocate.
        m_plain.resize(chunkSize);
        if (!kept)
            return fail(FileCipher::Result::WriteFailed);
    } else if (!m_writer(m_plain.constData(), qint64(plainSize))) {
        return fail(FileCipher::Result::WriteFailed);
    }
    return true;
}

bool FileDecryptor::feed(const char *data, qint64 size)
{
    if (m_result != FileCipher::Result::Done)
        return false;
    while (size > 0) {
        if (!m_headerRead) {
            const qint64 take = qMin<qint64>(size, FileCipher::HeaderSize - m_pending.size());
            m_pending.append(data, qsizetype(take));
            data += take;
            size -= take;
            if (m_pending.size() >= MagicSize
                && !FileCipher::isEncrypted(m_pending.left(MagicSize)))
                return fail(FileCipher::Result::NotEncrypted);
            if (m_pending.size() < FileCipher::HeaderSize)
                return true;
            if (!readHeader())
                return false;
            continue;
        }
        if (m_finalSeen)
            return fail(FileCipher::Result::Damaged); // bytes after the end
        if (m_filled == 0 && size >= m_sealedChunk) {
            // A whole chunk where it lies: no copy.
            if (!openChunk(data, m_sealedChunk))
                return false;
            data += m_sealedChunk;
            size -= m_sealedChunk;
            continue;
        }
        // Whole chunks as they complete; the rest waits for more bytes.
        const qint64 take = qMin<qint64>(size, m_sealedChunk - m_filled);
        std::memcpy(m_chunk.data() + m_filled, data, size_t(take));
        m_filled += take;
        data += take;
        size -= take;
        if (m_filled == m_sealedChunk) {
            if (!openChunk(m_chunk.constData(), m_filled))
                return false;
            m_filled = 0;
        }
    }
    return true;
}

FileCipher::Result FileDecryptor::finish()
{
    if (m_result != FileCipher::Result::Done)
        return m_result;
    if (!m_headerRead) {
        fail(m_pending.size() < MagicSize || !FileCipher::isEncrypted(m_pending.left(MagicSize))
                 ? FileCipher::Result::NotEncrypted
                 : FileCipher::Result::Damaged);
        return m_result;
    }
    if (m_filled > 0 && !openChunk(m_chunk.constData(), m_filled))
        return m_result;
    m_filled = 0;
    if (!m_finalSeen)
        fail(FileCipher::Result::Damaged); // cut before the final chunk
    return m_result;
}

} // namespace Quorvane
