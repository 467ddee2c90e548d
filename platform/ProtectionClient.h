#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace Platform {

// keycrate's side of keycrate-lockd: hands it open files to make immutable
// while this connection lasts. The service lets go of them when the
// connection ends, however this process ends.
//
// Locks may go out without waiting (submit, then pump when the socket is
// readable), several in flight at once; unlock and the blocking lock first
// finish what is in flight.
class ProtectionClient
{
public:
    enum class Outcome {
        Protected, // the file is immutable now
        Refused, // the service cannot protect it (another user's, no flag here, ...)
        Unavailable, // no service, or it stopped answering
    };

    struct Reply
    {
        std::uint64_t tag;
        Outcome outcome;
    };

    ProtectionClient() = default;
    ~ProtectionClient();
    ProtectionClient(const ProtectionClient &) = delete;
    ProtectionClient &operator=(const ProtectionClient &) = delete;

    // $KEYCRATE_LOCKD_SOCKET, or the system's socket.
    static std::string socketPath();
    // Whether the file behind the descriptor is immutable, by whoever.
    static bool isImmutable(int fd);

    // Connects when not connected yet; false when no service answers.
    bool connect();
    bool isConnected() const { return m_socket >= 0; }
    // The connection's descriptor, to watch for answers and for the end.
    int socket() const { return m_socket; }
    // Ends the connection: the service lets go of every file, and whatever
    // was in flight is forgotten.
    void disconnect();

    // Queues a lock of the descriptor (kept open by the caller until its
    // reply); tag comes back with the reply.
    void submit(int fd, std::uint64_t tag);
    // Sends what the window allows and takes the answers at hand, waiting
    // for one when wait is set and any is due. A broken connection replies
    // Unavailable for everything outstanding and sets *broken.
    std::vector<Reply> pump(bool wait, bool *broken = nullptr);
    // Locks or answers still outstanding.
    bool busy() const { return !m_queue.empty() || !m_inFlight.empty(); }
    // Waits until nothing is outstanding; the replies are added to replies.
    void finish(std::vector<Reply> *replies);

    // Locks each descriptor, waiting for every reply; one outcome each, in
    // order. Replies of earlier submissions are passed to earlier.
    std::vector<Outcome> lock(const std::vector<int> &fds, std::vector<Reply> *earlier = nullptr);
    // Lets go of one file. False when the service no longer answers.
    bool unlock(int fd, std::vector<Reply> *earlier = nullptr);

private:
    struct Request
    {
        int fd;
        std::uint64_t tag;
    };

    bool sendRequest(unsigned command, int fd, std::uint64_t tag);
    // Reads what the socket holds, waiting up to timeoutMs for anything.
    bool receive(int timeoutMs);
    // An answer already received, without waiting.
    bool takeAnswer(int *result, std::uint64_t *tag);
    std::vector<Reply> fail(bool *broken);

    int m_socket = -1;
    std::deque<Request> m_queue;
    // Tags of the locks sent and not yet answered, oldest first.
    std::deque<std::uint64_t> m_inFlight;
    // Received bytes not yet taken: answers come in batches.
    std::string m_received;
};

} // namespace Platform
