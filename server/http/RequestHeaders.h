#pragma once

#include <cstdint>
#include <string>

namespace QuorvaneServer {

// The request header fields whose values the service reads itself: a
// download's Range and an upload's Repr-Digest.
class RequestHeaders
{
public:
    enum class Range { Whole, Part, Outside };

    // One byte range of a Range field, within a file of size bytes. Anything
    // this server does not serve (other units, several ranges, bad syntax)
    // asks for the whole file, as a server that ignores the field would answer.
    static Range range(const std::string &field, uint64_t size, uint64_t &first, uint64_t &last);
    // Whether every sha-256 member of a Repr-Digest value names digest (raw
    // bytes); other algorithms are not checked, and base64 padding may be
    // left out.
    static bool digestAgrees(const std::string &field, const std::string &digest);
};

} // namespace QuorvaneServer
