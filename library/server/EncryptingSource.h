#pragma once

#include "ChunkCipher.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <memory>

namespace Quorvane {

// A file's bytes as FileCipher writes them, sealed a chunk at a time while
// they are read, so an upload needs neither a second copy on disk nor more
// memory than a chunk. The cipher runs on the reading thread: a worker
// sealing ahead was measured no faster, the processor being shared with the
// transfer's other threads and the server. Random access: a seek seals the
// chunk it lands in (version 1 replays its stream from the start to it).
class EncryptingSource : public QIODevice
{
    Q_OBJECT
public:
    EncryptingSource(const QString &fileName, const MasterKey &key, const CipherBinding &binding,
                     int chunkSize = FileCipher::DefaultChunkSize,
                     int version = FileCipher::Version);
    ~EncryptingSource() override;

    // Read-only; the plain file's length is taken now.
    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override;
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    // Seals chunk number index into m_sealed; false when the file ended early.
    bool produce(qint64 index);

    QFile m_plain;
    MasterKey m_key;
    CipherBinding m_binding;
    int m_chunkSize;
    int m_version;
    qint64 m_plainSize = 0;
    qint64 m_chunks = 0;
    std::unique_ptr<ChunkCipher> m_cipher;
    qint64 m_current = -1; // the chunk in m_sealed
    std::unique_ptr<unsigned char[]> m_sealed;
    std::unique_ptr<unsigned char[]> m_plainChunk;
    qint64 m_cursor = 0;
};

} // namespace Quorvane
