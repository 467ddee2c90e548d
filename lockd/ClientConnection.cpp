#include "ClientConnection.h"

#include "FileSystems.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using LockdProtocol::Command;
using LockdProtocol::Result;

namespace {

// Requests carried out per turn of the event loop; a batch of locks shares
// one sync of the journal.
constexpr int RequestsPerTurn = 256;
// Room for a few descriptors: more in one message breaks the protocol anyway,
// and the kernel closes what does not fit.
constexpr std::size_t DescriptorRoom = 4;

} // namespace

ClientConnection::ClientConnection(int fd, uid_t uid)
    : m_fd(fd)
    , m_uid(uid)
{
}

ClientConnection::~ClientConnection()
{
    dropDescriptors();
    for (const LockTable::Job &job : m_batch)
        ::close(job.fd);
    ::close(m_fd);
}

bool ClientConnection::readRequests(LockTable &table)
{
    if (!writeAnswers())
        return false;
    bool keep = true;
    for (int taken = 0; keep && !hasPendingAnswers() && taken < RequestsPerTurn;) {
        const Step step = readOne();
        if (step == Step::Again)
            break;
        if (step == Step::End) {
            keep = false;
        } else if (step == Step::Complete) {
            ++taken;
            keep = take(table);
            m_request = {};
            dropDescriptors();
        }
    }
    // Locks already read are carried out even when the connection ends: its
    // end then lets go of them in order.
    lockBatch(table);
    return keep && writeAnswers();
}

ClientConnection::Step ClientConnection::readOne()
{
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * DescriptorRoom)];
    iovec part { reinterpret_cast<char *>(&m_request) + m_have, sizeof m_request - m_have };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(m_fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? Step::Again : Step::End;
    bool foreign = false;
    for (cmsghdr *header = CMSG_FIRSTHDR(&message); header;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) {
            foreign = true;
            continue;
        }
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t index = 0; index < count; ++index) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(header) + index * sizeof(int), sizeof descriptor);
            m_descriptors.push_back(descriptor);
        }
    }
    if (message.msg_flags & MSG_CTRUNC) {
        // With nothing received, we were out of descriptors ourselves.
        if (!m_descriptors.empty())
            return Step::End;
        m_descriptorsLost = true;
    }
    if (foreign || m_descriptors.size() > 1 || got == 0)
        return Step::End;
    m_have += static_cast<std::size_t>(got);
    if (m_have < sizeof m_request)
        return Step::Partial;
    m_have = 0;
    return Step::Complete;
}

bool ClientConnection::take(LockTable &table)
{
    if (m_request.magic != LockdProtocol::Magic)
        return false;
    const auto command = static_cast<Command>(m_request.command);
    if (command != Command::Lock)
        lockBatch(table); // answers go out in the order of the requests
    if (command == Command::List) {
        if (!m_descriptors.empty() || m_descriptorsLost)
            return false;
        for (const FileKey &key : m_held)
            answer(m_request.command, m_request.tag, Result::ListEntry, key);
        answer(m_request.command, m_request.tag, Result::ListEnd, {},
               static_cast<std::uint32_t>(m_held.size()));
        return true;
    }
    if (command != Command::Lock && command != Command::Unlock)
        return false;
    if (m_descriptorsLost) {
        m_descriptorsLost = false;
        lockBatch(table);
        answer(m_request.command, m_request.tag, Result::Failed, {});
        return true;
    }
    if (m_descriptors.size() != 1)
        return false;
    const int descriptor = m_descriptors.front();
    struct stat info;
    // Only a regular file is ever locked; anything else is not a keycrate.
    if (!FileSystems::cachedStat(descriptor, &info) || !S_ISREG(info.st_mode))
        return false;
    m_descriptors.clear(); // taken over
    if (command == Command::Lock) {
        LockTable::Job job;
        job.fd = descriptor;
        job.tag = m_request.tag;
        job.key
            = { static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino) };
        job.owner = info.st_uid;
        m_batch.push_back(job);
        return true;
    }
    FileKey key;
    const Result result = table.unlock(descriptor, m_held, &key);
    answer(m_request.command, m_request.tag, result, key);
    return true;
}

void ClientConnection::lockBatch(LockTable &table)
{
    if (m_batch.empty())
        return;
    table.lock(m_batch, m_uid, m_held);
    for (const LockTable::Job &job : m_batch)
        answer(static_cast<std::uint32_t>(Command::Lock), job.tag, job.result, job.key);
    m_batch.clear();
}

void ClientConnection::answer(std::uint32_t command, std::uint64_t tag, Result result,
                              const FileKey &key, std::uint32_t count)
{
    LockdProtocol::Answer reply;
    reply.command = command;
    reply.result = static_cast<std::int32_t>(result);
    reply.count = count;
    reply.tag = tag;
    reply.device = key.device;
    reply.inode = key.inode;
    m_out.append(reinterpret_cast<const char *>(&reply), sizeof reply);
}

bool ClientConnection::writeAnswers()
{
    while (hasPendingAnswers()) {
        const ssize_t sent = ::send(m_fd, m_out.data() + m_sent, m_out.size() - m_sent,
                                    MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        m_sent += static_cast<std::size_t>(sent);
    }
    m_out.clear();
    m_sent = 0;
    return true;
}

void ClientConnection::release(LockTable &table)
{
    table.releaseAll(m_held);
}

void ClientConnection::dropDescriptors()
{
    for (const int descriptor : m_descriptors)
        ::close(descriptor);
    m_descriptors.clear();
}
