// Answers as an object store, or anything posing as one, may send them.
#include "store/S3Answer.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string body(reinterpret_cast<const char *>(data), size);
    const QuorvaneServer::S3Answer answer(body);
    // A reference is longer than what it stands for, and a byte of a one-byte
    // encoding is at most two in UTF-8: nothing kept outgrows twice the answer.
    size_t kept = answer.code().size() + answer.uploadId().size() + answer.nextToken().size();
    for (const auto &object : answer.objects())
        kept += object.key.size();
    for (const auto &upload : answer.uploads())
        kept += upload.key.size() + upload.uploadId.size();
    if (kept > 2 * size
        || (!answer.valid() && kept + answer.objects().size() + answer.uploads().size() > 0))
        __builtin_trap();
    return 0;
}
