#pragma once

#include "BackgroundSha256.h"
#include "FileDecryptor.h"

#include <QByteArray>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace Quorvane {

// A FileDecryptor on a thread of its own, so the cipher's work runs beside
// the transfer instead of in line with it. Sealed bytes queue up to the
// worker, plain chunks come back in order and are written on the caller's
// thread: the file is only ever touched there. Both queues are bounded, so
// memory stays flat; feed() waits while the worker is behind.
class DecryptionPipeline
{
public:
    using Writer = FileDecryptor::Writer;

    DecryptionPipeline(const MasterKey &key, const CipherBinding &binding, Writer writer);
    ~DecryptionPipeline();
    DecryptionPipeline(const DecryptionPipeline &) = delete;
    DecryptionPipeline &operator=(const DecryptionPipeline &) = delete;

    // The next bytes; false from the first failure on (result() says which).
    // Plain bytes of earlier chunks may be written meanwhile.
    bool feed(const char *data, qint64 size);
    // After the last byte: waits for the worker, writes what is left, and
    // returns Done only when the whole file authenticated and was written.
    FileCipher::Result finish();
    FileCipher::Result result();
    // The SHA-256 of the plain bytes, once finish() returned Done.
    QByteArray plainDigest() { return m_plainHash.digest(); }

private:
    void run();
    // On the worker: one chunk's plain bytes, queued for the writer; a
    // spare block takes their place.
    bool hold(QByteArray &plain);
    // On the caller: sizes the blocks by the file's prefix in m_filling.
    void planBlocks();
    // On the caller: hands the block being filled to the worker.
    bool submit();
    // On the caller, locked: writes the plain chunks that are ready.
    void writeReady(std::unique_lock<std::mutex> &lock);
    bool failed() const;
    static QByteArray spare(std::vector<QByteArray> &spares);

    Writer m_writer;
    FileDecryptor m_decryptor; // the worker's alone once it runs
    BackgroundSha256 m_plainHash; // the caller's, as it writes
    QByteArray m_filling; // the caller's alone
    bool m_first = true; // m_filling is the file's first block
    qsizetype m_block = 0; // 0 until the file's prefix came
    qsizetype m_firstBlock = 0;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_sealed;
    std::deque<QByteArray> m_plain;
    // Emptied blocks, used again: sealed ones for the caller to fill, plain
    // ones for the worker to swap in for the chunk it hands over.
    std::vector<QByteArray> m_sealedSpares;
    std::vector<QByteArray> m_plainSpares;
    bool m_ending = false;
    bool m_stopping = false;
    bool m_ended = false;
    bool m_writeFailed = false;
    FileCipher::Result m_result = FileCipher::Result::Done;
    std::thread m_worker;
};

} // namespace Quorvane
