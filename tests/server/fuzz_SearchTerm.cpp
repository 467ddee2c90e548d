// Search terms and the texts they are matched against: any bytes, and a term
// always finds itself.
#include "http/SearchTerm.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using QuorvaneServer::SearchTerm;
    if (size == 0)
        return 0;
    const size_t split = data[0] % size;
    const std::string_view input(reinterpret_cast<const char *>(data) + 1, size - 1);
    const std::string_view term = input.substr(0, split);
    const SearchTerm search(term);
    (void)search.foundIn(input.substr(split));
    if (!search.isEmpty() && !search.foundIn(term))
        __builtin_trap();
    return 0;
}
