#pragma once

#include "LockTable.h"
#include "LockdProtocol.h"

#include <string>
#include <sys/types.h>
#include <vector>

// One client on the socket: its credentials (from the kernel, not from it),
// the request being read, the answers not yet sent and the files it holds.
class ClientConnection
{
public:
    ClientConnection(int fd, uid_t uid);
    ~ClientConnection();
    ClientConnection(const ClientConnection &) = delete;
    ClientConnection &operator=(const ClientConnection &) = delete;

    int fd() const { return m_fd; }

    // Reads and carries out at most a batch of requests, so one busy client
    // cannot hold up the others. False when the connection is to end: the
    // client left, or broke the protocol.
    bool readRequests(LockTable &table);
    // Sends what it can of the pending answers. False on a broken connection.
    bool writeAnswers();
    // While answers wait, no further request is read: a client that never
    // reads cannot make the service hoard answers.
    bool hasPendingAnswers() const { return m_sent < m_out.size(); }

    // Lets go of every file the client held.
    void release(LockTable &table);

private:
    enum class Step { Complete, Partial, Again, End };

    Step readOne();
    // The request just read: false when it breaks the protocol. Locks wait
    // in the batch, to be noted in the journal together.
    bool take(LockTable &table);
    void lockBatch(LockTable &table);
    void answer(std::uint32_t command, std::uint64_t tag, LockdProtocol::Result result,
                const FileKey &key, std::uint32_t count = 0);
    void dropDescriptors();

    int m_fd;
    uid_t m_uid;
    LockdProtocol::Request m_request;
    std::size_t m_have = 0;
    std::vector<int> m_descriptors;
    // The kernel dropped descriptors meant for this request (we had no room).
    bool m_descriptorsLost = false;
    std::vector<LockTable::Job> m_batch;
    std::string m_out;
    std::size_t m_sent = 0;
    LockTable::Held m_held;
};
