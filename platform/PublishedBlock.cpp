#include "PublishedBlock.h"

#include "AdvisoryLock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

namespace {

// The key ftok(path, 'Q') gives, as Qt's shared-memory class derives it,
// taken from the open key file rather than its path.
key_t keyOf(const struct stat &keyFile)
{
    return key_t((keyFile.st_ino & 0xffff) | ((keyFile.st_dev & 0xff) << 16) | (key_t('Q') << 24));
}

bool isOwnRegularFile(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_uid == ::getuid();
}

// Whether path is still the key file we used. A removed file's inode number
// may come back at once, for a link put in its place too.
bool namesFile(const QByteArray &path, dev_t device, ino_t inode)
{
    struct stat named;
    return ::lstat(path.constData(), &named) == 0 && isOwnRegularFile(named)
        && named.st_dev == device && named.st_ino == inode;
}

// The lock is held only while a list is copied: a holder that keeps it
// longer is stuck, and waiting for it would stall the caller with it.
bool lockWithin(int fileDescriptor, bool exclusive)
{
    const QDeadlineTimer deadline(1000);
    while (!(exclusive ? AdvisoryLock::lockExclusive(fileDescriptor)
                       : AdvisoryLock::lockShared(fileDescriptor))) {
        if (deadline.hasExpired())
            return false;
        ::usleep(200);
    }
    return true;
}

void *const NoAddress = reinterpret_cast<void *>(-1);

} // namespace

PublishedBlock::PublishedBlock(QString nativeKey)
    : m_nativeKey(std::move(nativeKey))
{
}

PublishedBlock::~PublishedBlock()
{
    withdraw();
}

PublishedBlock::Outcome PublishedBlock::publish(const QByteArray &content)
{
    // A segment of size zero cannot be made: an empty list is no block.
    if (content.isEmpty()) {
        withdraw();
        return Outcome::Empty;
    }
    // A second try when a reader removed the new segment as a leftover in
    // the moment between its creation and our attaching to it.
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool foreign = false;
        const int keyFile = openKeyFile(&foreign);
        if (keyFile < 0 && !foreign)
            return Outcome::Failed; // readers keep the list before
        if (keyFile < 0) {
            withdraw(); // what we hold is no longer found under the key
            return Outcome::Foreign;
        }
        Written written = Written::Failed; // readers keep the list before
        if (lockWithin(keyFile, true))
            written = write(content);
        ::close(keyFile); // and with it the lock
        switch (written) {
        case Written::Done:
            return Outcome::Published;
        case Written::Held:
            return Outcome::Foreign;
        case Written::Failed:
            return Outcome::Failed;
        case Written::Lost:
            withdraw();
            break;
        }
    }
    return Outcome::Failed;
}

// The key file is opened for each publication, not kept: a process that
// holds thousands of files needs its descriptors. One that was removed or
// replaced since names another segment, so ours goes.
int PublishedBlock::openKeyFile(bool *foreign)
{
    const QByteArray path = QFile::encodeName(m_nativeKey);
    // Neither a link nor a pipe: either could point our block elsewhere or
    // keep us waiting.
    const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int fd = ::open(path.constData(), flags);
    if (fd < 0 && errno == ENOENT)
        fd = ::open(path.constData(), flags | O_CREAT | O_EXCL, 0640);
    if (fd < 0) {
        *foreign = errno == ELOOP || errno == EACCES;
        return -1;
    }
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !isOwnRegularFile(opened)) {
        ::close(fd);
        *foreign = true;
        return -1;
    }
    if (m_key != -1 && (opened.st_dev != m_keyDevice || opened.st_ino != m_keyInode))
        withdraw();
    m_keyDevice = opened.st_dev;
    m_keyInode = opened.st_ino;
    m_key = keyOf(opened);
    return fd;
}

PublishedBlock::Written PublishedBlock::write(const QByteArray &content)
{
    const size_t size = size_t(content.size());
    if (m_segment >= 0) {
        struct shmid_ds info;
        const bool stillNamed = ::shmctl(m_segment, IPC_STAT, &info) == 0
            && info.shm_perm.__key == m_key && !(info.shm_perm.mode & SHM_DEST);
        if (stillNamed && info.shm_segsz == size) {
            std::memcpy(m_address, content.constData(), size);
            return Written::Done;
        }
        // Readers attached to it keep their whole copy until they let go.
        dropSegment();
    }
    for (int attempt = 0; attempt < 4; ++attempt) {
        const int segment = ::shmget(m_key, size, IPC_CREAT | IPC_EXCL | 0600);
        if (segment < 0) {
            if (errno != EEXIST)
                return Written::Failed;
            if (!removeLeftover())
                return Written::Held;
            continue;
        }
        void *const address = ::shmat(segment, nullptr, 0);
        if (address == NoAddress) {
            ::shmctl(segment, IPC_RMID, nullptr);
            return Written::Failed;
        }
        m_segment = segment;
        m_address = address;
        struct shmid_ds info;
        if (::shmctl(segment, IPC_STAT, &info) != 0 || (info.shm_perm.mode & SHM_DEST))
            return Written::Lost;
#ifdef MADV_POPULATE_WRITE
        // One call maps every page instead of a fault for each.
        ::madvise(address, size, MADV_POPULATE_WRITE);
#endif
        std::memcpy(address, content.constData(), size);
        return Written::Done;
    }
    return Written::Held;
}

// A segment under our key that nobody is attached to was left by a program
// that was killed; one still attached belongs to a running one and stays.
bool PublishedBlock::removeLeftover()
{
    const int segment = ::shmget(m_key, 0, 0);
    if (segment < 0)
        return errno == ENOENT; // gone meanwhile
    struct shmid_ds info;
    if (::shmctl(segment, IPC_STAT, &info) != 0 || info.shm_nattch != 0)
        return false;
    return ::shmctl(segment, IPC_RMID, nullptr) == 0;
}

void PublishedBlock::dropSegment()
{
    if (m_segment < 0)
        return;
    ::shmctl(m_segment, IPC_RMID, nullptr);
    ::shmdt(m_address);
    m_segment = -1;
    m_address = nullptr;
}

void PublishedBlock::withdraw()
{
    dropSegment();
    if (m_key == -1)
        return;
    const QByteArray path = QFile::encodeName(m_nativeKey);
    if (namesFile(path, m_keyDevice, m_keyInode))
        ::unlink(path.constData());
    m_key = -1;
}

std::optional<QByteArray> PublishedBlock::read(const QString &nativeKey)
{
    const QByteArray path = QFile::encodeName(nativeKey);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    std::optional<QByteArray> content;
    struct stat keyFile;
    if (::fstat(fd, &keyFile) == 0 && isOwnRegularFile(keyFile) && lockWithin(fd, false)) {
        const int segment = ::shmget(keyOf(keyFile), 0, 0400);
        struct shmid_ds made;
        // Anyone may make a segment under a key they can work out: only one
        // this user made and owns is our list.
        const bool own = segment >= 0 && ::shmctl(segment, IPC_STAT, &made) == 0
            && made.shm_perm.uid == ::getuid() && made.shm_perm.cuid == ::getuid();
        void *const address = own ? ::shmat(segment, nullptr, SHM_RDONLY) : NoAddress;
        if (address != NoAddress) {
            struct shmid_ds info;
            if (::shmctl(segment, IPC_STAT, &info) == 0)
                content = QByteArray(static_cast<const char *>(address), qsizetype(info.shm_segsz));
            ::shmdt(address);
            // A block whose publisher was killed goes with its last reader,
            // as with Qt's readers.
            if (::shmctl(segment, IPC_STAT, &info) == 0 && info.shm_nattch == 0) {
                ::shmctl(segment, IPC_RMID, nullptr);
                if (namesFile(path, keyFile.st_dev, keyFile.st_ino))
                    ::unlink(path.constData());
            }
        }
        AdvisoryLock::unlock(fd);
    }
    ::close(fd);
    return content;
}

} // namespace Platform
