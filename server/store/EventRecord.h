#pragma once

#include <cstdint>
#include <string>

namespace QuorvaneServer {

// The eight text fields of an event, as bytes exactly as the client sent them.
struct EventRecord
{
    std::string id;
    std::string name;
    std::string path;
    std::string type;
    std::string content;
    std::string description;
    std::string recordTime;
    std::string recordChanged;
};

// Seconds of a time-stamp text. Text that is not a decimal number counts as 0,
// as it does for the client that files events by this time.
int64_t timeStampSeconds(const std::string &text);

// Why an id cannot be accepted, or nullptr when it can. Clients use ids as
// folder names, so anything that would walk out of a folder is refused.
const char *eventIdProblem(const std::string &id);

} // namespace QuorvaneServer
