#include "StreamChunkCipher.h"

namespace Quorvane {

StreamChunkCipher::StreamChunkCipher(const Layout &layout, const QByteArray &header,
                                     const CipherBinding &binding)
    : ChunkCipher(layout, header, header.left(FileCipher::PrefixSize), binding)
{
}

StreamChunkCipher::~StreamChunkCipher()
{
    sodium_memzero(&m_start, sizeof m_start);
    sodium_memzero(&m_state, sizeof m_state);
}

std::unique_ptr<ChunkCipher> StreamChunkCipher::sealing(const MasterKey &key,
                                                        const CipherBinding &binding, int chunkSize)
{
    MasterKey::setUpSodium();
    QByteArray header = prefix(Version, key, chunkSize);
    QByteArray streamHeader(crypto_secretstream_xchacha20poly1305_HEADERBYTES, Qt::Uninitialized);
    crypto_secretstream_xchacha20poly1305_state start;
    MasterKey::Subkey subkey = key.subkey(MasterKey::Purpose::FileBytes);
    crypto_secretstream_xchacha20poly1305_init_push(
        &start, reinterpret_cast<unsigned char *>(streamHeader.data()), subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    header += streamHeader;
    std::unique_ptr<StreamChunkCipher> out(
        new StreamChunkCipher({ Version, HeaderSize, chunkSize, Overhead }, header, binding));
    out->m_start = start;
    out->m_state = start;
    sodium_memzero(&start, sizeof start);
    return out;
}

std::unique_ptr<ChunkCipher> StreamChunkCipher::opening(const Layout &layout,
                                                        const QByteArray &header,
                                                        const MasterKey &key,
                                                        const CipherBinding &binding)
{
    MasterKey::setUpSodium();
    std::unique_ptr<StreamChunkCipher> out(new StreamChunkCipher(layout, header, binding));
    MasterKey::Subkey subkey = key.subkey(MasterKey::Purpose::FileBytes);
    const int started = crypto_secretstream_xchacha20poly1305_init_pull(
        &out->m_state,
        reinterpret_cast<const unsigned char *>(header.constData()) + FileCipher::PrefixSize,
        subkey.data());
    sodium_memzero(subkey.data(), subkey.size());
    if (started != 0)
        return nullptr;
    return out;
}

bool StreamChunkCipher::seal(qint64 index, bool last, const unsigned char *plain, qint64 size,
                             unsigned char *out)
{
    if (index == 0)
        m_state = m_start;
    else if (index != m_next)
        return false;
    crypto_secretstream_xchacha20poly1305_push(
        &m_state, out, nullptr, plain, quint64(size),
        reinterpret_cast<const unsigned char *>(associated().constData()),
        quint64(associated().size()),
        last ? crypto_secretstream_xchacha20poly1305_TAG_FINAL
             : crypto_secretstream_xchacha20poly1305_TAG_MESSAGE);
    m_next = index + 1;
    return true;
}

bool StreamChunkCipher::open(const unsigned char *sealed, qint64 size, unsigned char *plain,
                             bool &last)
{
    if (size < Overhead)
        return false;
    unsigned char tag = 0;
    if (crypto_secretstream_xchacha20poly1305_pull(
            &m_state, plain, nullptr, &tag, sealed, quint64(size),
            reinterpret_cast<const unsigned char *>(associated().constData()),
            quint64(associated().size()))
        != 0)
        return false;
    last = tag == crypto_secretstream_xchacha20poly1305_TAG_FINAL;
    return true;
}

} // namespace Quorvane
