#pragma once

#include "CipherBinding.h"
#include "FileCipher.h"
#include "MasterKey.h"

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <sodium.h>
#include <thread>

namespace Quorvane {

// A file's bytes as FileCipher writes them, sealed a chunk at a time while
// they are read, so an upload needs neither a second copy on disk nor more
// memory than a few chunks. A file of more than one chunk is sealed ahead on
// a worker thread into a ring of chunk-sized slots that the reader empties in
// order: the cipher runs beside the transfer, and a full ring holds the
// worker back. A reader that finds its chunk not yet begun seals it itself. Random access: a seek
// back past the ring (the client sending the body again) replays the stream from its start, whose
// state is kept.
class EncryptingSource : public QIODevice
{
    Q_OBJECT
public:
    EncryptingSource(const QString &fileName, const MasterKey &key, const CipherBinding &binding,
                     int chunkSize = FileCipher::DefaultChunkSize);
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
    static constexpr int Slots = 4;

    // Seals chunk number index, the stream's next, into its slot; false when
    // the file ended early. One thread at a time: whoever set m_sealing.
    bool seal(qint64 index);
    // Locked: seals the next chunk, unlocked meanwhile.
    bool sealNext(std::unique_lock<std::mutex> &lock);
    void run();
    // Seals from the stream's start again, on the worker when there is one.
    void restart();
    void stop();
    // On the reader: waits until chunk index is sealed, the chunks before it
    // given up; false when sealing failed.
    bool await(qint64 index);
    qint64 sealedLength(qint64 index) const;
    unsigned char *slot(qint64 index) const;

    QFile m_plain;
    MasterKey m_key;
    CipherBinding m_binding;
    int m_chunkSize;
    qint64 m_plainSize = 0;
    qint64 m_chunks = 0;
    QByteArray m_header;
    QByteArray m_associated;
    crypto_secretstream_xchacha20poly1305_state m_start {};
    crypto_secretstream_xchacha20poly1305_state m_state {};
    qint64 m_slotSize = 0;
    std::unique_ptr<unsigned char[]> m_sealed; // Slots chunks: chunk n in slot n % Slots
    std::unique_ptr<unsigned char[]> m_plainChunk;
    qint64 m_cursor = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    qint64 m_sealedCount = 0; // chunks sealed so far
    qint64 m_released = 0; // chunks the reader gave up, their slots free
    bool m_sealing = false; // a chunk is being sealed, by the worker or the reader
    bool m_stopping = false;
    bool m_failed = false;
    QString m_failure;
    std::thread m_worker;
};

} // namespace Quorvane
