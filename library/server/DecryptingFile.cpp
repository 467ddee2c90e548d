#include "DecryptingFile.h"

#include "WritePieces.h"

namespace Quorvane {

namespace {

constexpr int MagicSize = 4;

} // namespace

DecryptingFile::DecryptingFile(const QString &name, const CipherBinding &binding, bool sealed,
                               const MasterKey *key)
    : QFile(name)
    , m_binding(binding)
    , m_sealed(sealed)
    , m_haveKey(key != nullptr)
{
    if (key)
        m_key = *key;
}

void DecryptingFile::startOver()
{
    m_mode = Mode::Undecided;
    m_start.clear();
    m_decryptor.reset();
    m_problem.clear();
}

bool DecryptingFile::seek(qint64 pos)
{
    // The answer starts over (a server that sent the whole file again).
    if (pos == 0)
        startOver();
    return QFile::seek(pos);
}

void DecryptingFile::refuse(FileCipher::Result result)
{
    m_mode = Mode::Refused;
    const QString id = QString::fromUtf8(m_binding.eventId);
    switch (result) {
    case FileCipher::Result::NotEncrypted:
        m_problem = tr("Event %1 should be encrypted and is not: refused.").arg(id);
        break;
    case FileCipher::Result::WrongKey:
    case FileCipher::Result::Damaged:
        m_problem = tr("Event %1 failed authentication: nothing of it was written.").arg(id);
        break;
    default:
        m_problem = tr("Event %1 cannot be written.").arg(id);
    }
}

bool DecryptingFile::decide()
{
    if (!FileCipher::isEncrypted(m_start)) {
        if (m_sealed) {
            refuse(FileCipher::Result::NotEncrypted);
            return false;
        }
        m_mode = Mode::Plain;
    } else if (!m_haveKey) {
        m_mode = Mode::Refused;
        m_problem = tr("Event %1 is encrypted: unlock the key to read it.")
                        .arg(QString::fromUtf8(m_binding.eventId));
        return false;
    } else {
        m_mode = Mode::Decrypting;
        m_decryptor = std::make_unique<DecryptionPipeline>(
            m_key, m_binding, [this](const char *data, qint64 size) {
                // Past our own writeData: these bytes are already plain.
                return writePieces(data, size, [this](const char *piece, qint64 length) {
                    return QFile::writeData(piece, length);
                });
            });
    }
    const QByteArray start = m_start;
    m_start.clear();
    return writeData(start.constData(), start.size()) == start.size();
}

qint64 DecryptingFile::writeData(const char *data, qint64 size)
{
    switch (m_mode) {
    case Mode::Undecided: {
        const qint64 wanted = qMin<qint64>(size, MagicSize - m_start.size());
        m_start.append(data, qsizetype(wanted));
        if (m_start.size() < MagicSize)
            return size;
        if (!decide())
            return -1;
        return wanted == size || writeData(data + wanted, size - wanted) == size - wanted ? size
                                                                                          : -1;
    }
    case Mode::Plain:
        return QFile::writeData(data, size);
    case Mode::Decrypting:
        if (m_decryptor->feed(data, size))
            return size;
        refuse(m_decryptor->result());
        return -1;
    case Mode::Refused:
        return -1;
    }
    return -1;
}

bool DecryptingFile::finish()
{
    if (m_mode == Mode::Undecided) {
        // Fewer bytes than a header: a short plain file, or nothing at all.
        if (m_sealed) {
            refuse(FileCipher::Result::NotEncrypted);
            return false;
        }
        m_mode = Mode::Plain;
        const QByteArray start = m_start;
        m_start.clear();
        return QFile::writeData(start.constData(), start.size()) == start.size();
    }
    if (m_mode == Mode::Decrypting) {
        const FileCipher::Result result = m_decryptor->finish();
        if (result != FileCipher::Result::Done) {
            refuse(result);
            return false;
        }
    }
    return m_mode != Mode::Refused;
}

QByteArray DecryptingFile::writtenDigest(const QByteArray &handedDigest)
{
    switch (m_mode) {
    case Mode::Plain:
        return handedDigest;
    case Mode::Decrypting:
        return m_decryptor->plainDigest();
    default:
        return QByteArray();
    }
}

} // namespace Quorvane
