#pragma once

#include <string>
#include <vector>

namespace Platform {

// keycrate's side of keycrate-lockd: hands it open files to make immutable
// while this connection lasts. The service lets go of them when the
// connection ends, however this process ends.
class ProtectionClient
{
public:
    enum class Outcome {
        Protected, // the file is immutable now
        Refused, // the service cannot protect it (another user's, no flag here, ...)
        Unavailable, // no service, or it stopped answering
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
    // The connection's descriptor, to notice the service going away.
    int socket() const { return m_socket; }
    // Ends the connection: the service lets go of every file.
    void disconnect();

    // Locks each descriptor (the caller keeps them), several in flight at
    // once; one outcome each, in order.
    std::vector<Outcome> lock(const std::vector<int> &fds);
    Outcome lock(int fd) { return lock(std::vector<int> { fd }).front(); }
    // Lets go of one file. False when the service no longer answers.
    bool unlock(int fd);

private:
    bool sendRequest(unsigned command, int fd, unsigned long long tag);
    // Waits for the next answer; false (and disconnected) on a timeout or a
    // broken connection.
    bool nextAnswer(int *result);

    int m_socket = -1;
};

} // namespace Platform
