#include "FileDecryptor.h"

#include <cstring>

namespace Quorvane {

namespace {

constexpr int MagicSize = 4;

} // namespace

FileDecryptor::FileDecryptor(const MasterKey &key, const CipherBinding &binding, Writer writer)
    : m_key(key)
    , m_binding(binding)
    , m_writer(std::move(writer))
{
}

FileDecryptor::FileDecryptor(const MasterKey &key, const CipherBinding &binding, Taker taker)
    : m_key(key)
    , m_binding(binding)
    , m_taker(std::move(taker))
{
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
    FileCipher::Result why = FileCipher::Result::Damaged;
    m_cipher = ChunkCipher::forOpening(m_pending, m_key, m_binding, why);
    if (!m_cipher)
        return fail(why);
    m_sealedChunk = qint64(m_cipher->chunkSize()) + m_cipher->overhead();
    // Both buffers once, at their full size: reallocating them for every
    // piece of a download cost more than the decryption.
    m_plain.resize(qsizetype(m_cipher->chunkSize()));
    m_chunk.resize(qsizetype(m_sealedChunk));
    m_filled = 0;
    m_pending.clear();
    m_headerRead = true;
    return true;
}

bool FileDecryptor::openChunk(const char *sealed, qint64 size)
{
    bool last = false;
    if (m_finalSeen
        || !m_cipher->open(reinterpret_cast<const unsigned char *>(sealed), size,
                           reinterpret_cast<unsigned char *>(m_plain.data()), last))
        return fail(FileCipher::Result::Damaged);
    m_finalSeen = last;
    // Only the last chunk may be short.
    if (!m_finalSeen && size < m_sealedChunk)
        return fail(FileCipher::Result::Damaged);
    const qsizetype plainSize = qsizetype(size - m_cipher->overhead());
    if (m_taker) {
        m_plain.resize(plainSize);
        const bool kept = m_taker(m_plain);
        // Within the capacity of what was swapped in, this does not allocate.
        m_plain.resize(qsizetype(m_cipher->chunkSize()));
        if (!kept)
            return fail(FileCipher::Result::WriteFailed);
    } else if (!m_writer(m_plain.constData(), plainSize)) {
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
            // The prefix first: it tells how long the whole header is.
            const bool havePrefix = m_pending.size() >= FileCipher::PrefixSize;
            const int wanted
                = havePrefix ? ChunkCipher::layout(m_pending).headerSize : FileCipher::PrefixSize;
            const qint64 take = qMin<qint64>(size, wanted - m_pending.size());
            m_pending.append(data, qsizetype(take));
            data += take;
            size -= take;
            if (m_pending.size() >= MagicSize
                && !FileCipher::isEncrypted(m_pending.left(MagicSize)))
                return fail(FileCipher::Result::NotEncrypted);
            if (m_pending.size() < wanted)
                return true;
            if (!havePrefix) {
                if (!ChunkCipher::layout(m_pending).valid())
                    return fail(FileCipher::Result::Damaged);
                continue;
            }
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
