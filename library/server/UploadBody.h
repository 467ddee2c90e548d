#pragma once

#include <QByteArray>
#include <QFile>
#include <QIODevice>
#include <memory>

namespace Quorvane {

// An upload body read straight from disk: a head in memory (the event document
// and its separator) followed by the bytes of a file, with the total length
// known before the first byte is sent. Random access, so the HTTP client can
// rewind it when it has to send the body again.
class UploadBody : public QIODevice
{
    Q_OBJECT
public:
    // An empty file name sends the head alone.
    UploadBody(const QByteArray &head, const QString &fileName, QObject *parent = nullptr);
    // The bytes after the head from a random-access device (opened with the
    // body), such as a file encrypted while it is read.
    UploadBody(const QByteArray &head, std::unique_ptr<QIODevice> source,
               QObject *parent = nullptr);
    ~UploadBody() override;

    // Read-only; fails when the file cannot be opened. The file's length is
    // taken now: a file that shrinks later makes reading fail.
    bool open(OpenMode mode) override;
    void close() override;
    bool isSequential() const override { return false; }
    qint64 size() const override;
    qint64 headSize() const { return m_head.size(); }
    const QByteArray &headBytes() const { return m_head; }
    bool seek(qint64 pos) override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    static constexpr qint64 BlockSize = 256 * 1024;

    bool fillBlock(qint64 inFile);
    qint64 readFile(qint64 inFile, char *data, qint64 length);
    // Why the file's bytes ran out.
    QString failure() const;

    QByteArray m_head;
    // A QFile by the file name, or the device given.
    std::unique_ptr<QIODevice> m_file;
    bool m_withFile;
    bool m_fromDevice = false; // read straight, not through m_block
    qint64 m_fileSize = 0;
    qint64 m_cursor = 0;
    // The part of the file last read from disk, starting at m_blockStart.
    QByteArray m_block;
    qint64 m_blockStart = 0;
};

} // namespace Quorvane
