#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/types.h>

namespace Platform {

// A named shared-memory block that one process publishes and others read, as
// Qt's shared-memory class finds it under a native key: a System V segment
// whose key is derived from a key file, holding exactly the published bytes.
//
// The publisher stays attached between publications and keeps its key file,
// so a content of the same size is rewritten in place; another size needs a
// new segment, since a segment's size is what readers take as the length.
// The publisher holds an exclusive flock on the key file while it replaces
// or writes the segment, and read() a shared one while it copies: such a
// reader sees one whole publication, never a half-written one.
class PublishedBlock
{
public:
    enum class Outcome {
        Published,
        Empty, // nothing to publish: readers find no block
        Foreign, // the key file or a live block under its key is not ours
        Failed,
    };

    explicit PublishedBlock(QString nativeKey);
    // Takes the block away: it lives as long as its publisher.
    ~PublishedBlock();
    PublishedBlock(const PublishedBlock &) = delete;
    PublishedBlock &operator=(const PublishedBlock &) = delete;

    Outcome publish(const QByteArray &content);
    void withdraw();

    // The block's bytes; nothing when there is no block, or its key file is
    // not this user's own regular file.
    static std::optional<QByteArray> read(const QString &nativeKey);

private:
    enum class Written { Done, Lost, Held, Failed };

    int openKeyFile(bool *foreign);
    Written write(const QByteArray &content);
    bool removeLeftover();
    void dropSegment();

    QString m_nativeKey;
    dev_t m_keyDevice = 0;
    ino_t m_keyInode = 0;
    key_t m_key = -1;
    int m_segment = -1;
    void *m_address = nullptr;
};

} // namespace Platform
