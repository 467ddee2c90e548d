#include "UploadBody.h"

#include "PrivateFiles.h"

#include <cstring>

namespace Quorvane {

UploadBody::UploadBody(const QByteArray &head, const QString &fileName, QObject *parent)
    : QIODevice(parent)
    , m_head(head)
    , m_file(std::make_unique<QFile>(fileName))
    , m_withFile(!fileName.isEmpty())
{
}

UploadBody::UploadBody(const QByteArray &head, std::unique_ptr<QIODevice> source, QObject *parent)
    : QIODevice(parent)
    , m_head(head)
    , m_file(std::move(source))
    , m_withFile(m_file != nullptr)
    , m_fromDevice(m_withFile)
{
}

UploadBody::~UploadBody() = default;

bool UploadBody::open(OpenMode mode)
{
    if ((mode & (ReadWrite | Append | Truncate)) != ReadOnly)
        return false;
    if (m_withFile) {
        auto *file = qobject_cast<QFile *>(m_file.get());
        if (file ? !PrivateFiles::openForReading(*file) : !m_file->open(ReadOnly)) {
            setErrorString(tr("Not a readable regular file"));
            return false;
        }
        m_fileSize = m_file->size();
    }
    m_cursor = 0;
    // Our own cursor is the position: no second buffer over the file's.
    return QIODevice::open(ReadOnly | Unbuffered);
}

void UploadBody::close()
{
    QIODevice::close();
    if (m_file)
        m_file->close();
    m_fileSize = 0;
    m_cursor = 0;
    m_block.clear();
}

qint64 UploadBody::size() const
{
    return m_head.size() + m_fileSize;
}

bool UploadBody::seek(qint64 pos)
{
    if (pos < 0 || pos > size() || !QIODevice::seek(pos))
        return false;
    m_cursor = pos;
    return true;
}

qint64 UploadBody::readData(char *data, qint64 maxSize)
{
    qint64 done = 0;
    if (m_cursor < m_head.size()) {
        done = qMin(maxSize, m_head.size() - m_cursor);
        std::memcpy(data, m_head.constData() + m_cursor, size_t(done));
        m_cursor += done;
    }
    while (done < maxSize && m_cursor < size()) {
        const qint64 inFile = m_cursor - m_head.size();
        const bool cached = inFile >= m_blockStart && inFile < m_blockStart + m_block.size();
        const qint64 wanted = qMin(maxSize - done, size() - m_cursor);
        if (!cached && (wanted >= BlockSize || m_fromDevice)) {
            // A reader with a large buffer gets the disk's bytes straight in;
            // a device given holds its bytes in memory and gets no second copy.
            const qint64 got = readFile(inFile, data + done, wanted);
            if (got <= 0)
                return done > 0 ? done : -1;
            done += got;
            m_cursor += got;
            continue;
        }
        if (!cached) {
            if (!fillBlock(inFile)) {
                // The file ended (or failed) before the length promised to the peer.
                return done > 0 ? done : -1;
            }
        }
        const qint64 offset = inFile - m_blockStart;
        const qint64 part = qMin(maxSize - done, m_block.size() - offset);
        std::memcpy(data + done, m_block.constData() + offset, size_t(part));
        done += part;
        m_cursor += part;
    }
    return done;
}

qint64 UploadBody::readFile(qint64 inFile, char *data, qint64 length)
{
    qint64 got = 0;
    if (m_file->pos() == inFile || m_file->seek(inFile)) {
        while (got < length) {
            const qint64 part = m_file->read(data + got, length - got);
            if (part <= 0)
                break;
            got += part;
        }
    }
    if (got < length)
        setErrorString(failure());
    return got;
}

bool UploadBody::fillBlock(qint64 inFile)
{
    // The client asks for small pieces; the disk is read in large ones.
    m_block.resize(qMin(BlockSize, m_fileSize - inFile));
    m_blockStart = inFile;
    qint64 got = 0;
    if (m_file->pos() == inFile || m_file->seek(inFile)) {
        while (got < m_block.size()) {
            const qint64 part = m_file->read(m_block.data() + got, m_block.size() - got);
            if (part <= 0)
                break;
            got += part;
        }
    }
    if (got == m_block.size())
        return true;
    setErrorString(failure());
    m_block.clear();
    return false;
}

QString UploadBody::failure() const
{
    const auto *file = qobject_cast<const QFileDevice *>(m_file.get());
    if (file && file->error() != QFileDevice::NoError)
        return file->errorString();
    if (!file && !m_file->errorString().isEmpty())
        return m_file->errorString();
    return tr("The file became shorter while it was sent.");
}

qint64 UploadBody::writeData(const char *, qint64)
{
    return -1;
}

} // namespace Quorvane
