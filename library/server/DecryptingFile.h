#pragma once

#include "CipherBinding.h"
#include "DecryptionPipeline.h"

#include <QFile>
#include <QString>
#include <memory>

namespace Quorvane {

// A download's holding file that decrypts what is written to it, chunk by
// chunk, so an encrypted file lands plain without a second pass over the
// disk; the cipher works on a thread of its own, the file is written on the
// caller's. Bytes that are not encrypted pass through unless the event was listed
// sealed; without a key, encrypted bytes are refused. A refusal fails the
// write, so the transfer stops there.
class DecryptingFile : public QFile
{
    Q_OBJECT
public:
    // key null: no key is unlocked.
    DecryptingFile(const QString &name, const CipherBinding &binding, bool sealed,
                   const MasterKey *key);

    // After the last byte: true when what was written is whole and plain.
    bool finish();
    // After finish(): the SHA-256 of the file as written, given that of the
    // bytes handed to it (theirs, when they went through unchanged).
    QByteArray writtenDigest(const QByteArray &handedDigest);
    // Whether the bytes handed over are checked by their authentication:
    // from the first bytes of an encrypted file on.
    bool authenticates() const { return m_mode == Mode::Decrypting; }
    // Why writing or finish() failed, for the user; empty while all is well.
    QString problem() const { return m_problem; }
    bool seek(qint64 pos) override;

protected:
    qint64 writeData(const char *data, qint64 size) override;

private:
    enum class Mode { Undecided, Plain, Decrypting, Refused };

    bool decide();
    void refuse(FileCipher::Result result);
    void startOver();

    CipherBinding m_binding;
    bool m_sealed;
    bool m_haveKey;
    MasterKey m_key;
    Mode m_mode = Mode::Undecided;
    QByteArray m_start; // the first bytes, until they tell the mode
    std::unique_ptr<DecryptionPipeline> m_decryptor;
    QString m_problem;
};

} // namespace Quorvane
