#include "UploadBody.h"

#include <cstring>

namespace Quorvane {

UploadBody::UploadBody(const QByteArray &head, const QString &fileName, QObject *parent)
    : QIODevice(parent)
    , m_head(head)
    , m_file(fileName)
    , m_withFile(!fileName.isEmpty())
{
}

UploadBody::~UploadBody() = default;

bool UploadBody::open(OpenMode mode)
{
    if ((mode & (ReadWrite | Append | Truncate)) != ReadOnly)
        return false;
    if (m_withFile) {
        if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
            setErrorString(m_file.errorString());
            return false;
        }
        m_fileSize = m_file.size();
    }
    m_cursor = 0;
    // Our own cursor is the position: no second buffer over the file's.
    return QIODevice::open(ReadOnly | Unbuffered);
}

void UploadBody::close()
{
    QIODevice::close();
    m_file.close();
    m_fileSize = 0;
    m_cursor = 0;
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
    const qint64 want = qMin(maxSize - done, size() - m_cursor);
    if (want > 0) {
        const qint64 inFile = m_cursor - m_head.size();
        if (m_file.pos() != inFile && !m_file.seek(inFile))
            return -1;
        const qint64 got = m_file.read(data + done, want);
        if (got <= 0) {
            // The file ended (or failed) before the length promised to the peer.
            setErrorString(got < 0 ? m_file.errorString()
                                   : tr("The file became shorter while it was sent."));
            return done > 0 ? done : -1;
        }
        done += got;
        m_cursor += got;
    }
    return done;
}

qint64 UploadBody::writeData(const char *, qint64)
{
    return -1;
}

} // namespace Quorvane
