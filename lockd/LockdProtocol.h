#pragma once

#include <cstdint>

// What keycrate-lockd and its clients say over the stream socket. Every
// message has one fixed size; lock and unlock carry exactly one descriptor
// (SCM_RIGHTS) with their request, list carries none.
namespace LockdProtocol {

constexpr std::uint32_t Magic = 0x4b434c31; // "KCL1"
constexpr const char DefaultSocket[] = "/run/keycrate-lockd.socket";
// Locks one connection may hold at once.
constexpr std::uint32_t MaxLocksPerClient = 65536;

enum class Command : std::uint32_t {
    Lock = 1,
    Unlock = 2,
    List = 3,
};

enum class Result : std::int32_t {
    Protected = 0, // lock: the flag is set; unlock: it is cleared (or still held by another client)
    NotOwner = 1, // the file belongs to another user
    Unsupported = 2, // the file system has no immutable flag, or the descriptor cannot reach it
    AlreadyImmutable = 3, // someone else made the file immutable: not ours to hold or clear
    NotLocked = 4, // unlock of a file this connection does not hold
    TooManyLocks = 5,
    Failed = 6, // the service could not note or set the flag
    ListEntry = 7, // one held file of a list answer
    ListEnd = 8, // the end of a list answer; count holds the number of entries
};

struct Request
{
    std::uint32_t magic = Magic;
    std::uint32_t command = 0;
    std::uint64_t tag = 0; // echoed in the answer
};

struct Answer
{
    std::uint32_t magic = Magic;
    std::uint32_t command = 0;
    std::int32_t result = 0;
    std::uint32_t count = 0;
    std::uint64_t tag = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
};

static_assert(sizeof(Request) == 16, "requests have one size on every platform");
static_assert(sizeof(Answer) == 40, "answers have one size on every platform");

} // namespace LockdProtocol
