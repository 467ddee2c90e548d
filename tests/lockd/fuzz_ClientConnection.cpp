// Requests as any local user may send them to the service, cut anywhere and
// now and then with a descriptor that is no regular file: every answer is one
// whole answer of ours, and no descriptor outlives the connection.
#include "ClientConnection.h"
#include "LockJournal.h"
#include "LockTable.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void sendPiece(int fd, const uint8_t *data, size_t size, int attached)
{
    iovec part { const_cast<uint8_t *>(data), size };
    msghdr message {};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    if (attached >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &attached, sizeof attached);
    }
    ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
}

void drain(int fd, std::string &answers)
{
    char buffer[4096];
    for (ssize_t got; (got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;)
        answers.append(buffer, static_cast<size_t>(got));
}

int nextDescriptor()
{
    const int probe = ::dup(2);
    ::close(probe);
    return probe;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int before = nextDescriptor();
    const size_t piece = 1 + data[0];
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return 0;
    const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    LockJournal journal;
    LockTable table(journal, 16);
    std::string answers;
    {
        ClientConnection connection(pair[0], ::getuid());
        bool open = true;
        for (size_t at = 1; open && at < size; at += piece) {
            const size_t take = std::min(piece, size - at);
            sendPiece(pair[1], data + at, take, (data[at] & 0x81) == 0x81 ? null : -1);
            open = connection.readRequests(table);
            drain(pair[1], answers);
        }
        ::shutdown(pair[1], SHUT_WR);
        for (size_t turns = 0; open && turns <= size; ++turns) {
            open = connection.readRequests(table);
            drain(pair[1], answers);
        }
        connection.release(table);
    }
    drain(pair[1], answers);
    ::close(pair[1]);
    ::close(null);
    if (nextDescriptor() != before || answers.size() % sizeof(LockdProtocol::Answer) != 0)
        __builtin_trap();
    // Holding nothing, only a list can be answered, and it lists nothing.
    for (size_t at = 0; at < answers.size(); at += sizeof(LockdProtocol::Answer)) {
        LockdProtocol::Answer answer;
        std::memcpy(&answer, answers.data() + at, sizeof answer);
        if (answer.magic != LockdProtocol::Magic
            || answer.command != static_cast<uint32_t>(LockdProtocol::Command::List)
            || answer.result != static_cast<int32_t>(LockdProtocol::Result::ListEnd)
            || answer.count != 0)
            __builtin_trap();
    }
    return 0;
}
