// Request targets as a client may send them: parsing, decoding and the log
// form must hold for any bytes.
#include "http/QueryString.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using QuorvaneServer::QueryString;
    const std::string_view target(reinterpret_cast<const char *>(data), size);
    const QueryString query(target);
    (void)query.value("title");
    (void)query.has("password");
    const std::string decoded = QueryString::decode(target);
    if (decoded.size() > target.size())
        __builtin_trap();
    const std::string logged = QueryString::forLog(target, { "password" });
    for (const char c : logged)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            __builtin_trap();
    return 0;
}
