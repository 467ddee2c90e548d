// Upload bodies as a client may send them: the document, the separator and
// the file's bytes, cut anywhere, end as they do when they arrive whole, and
// what reaches the file is exactly what followed the separator.
#include "http/UploadBody.h"
#include "store/DataFolder.h"
#include "store/FolderStore.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

namespace {

using QuorvaneServer::UploadBody;

struct Outcome
{
    bool accepted = false;
    int status = 0;
    std::string content;
};

Outcome run(const QuorvaneServer::FileStore &files, const char *bytes, size_t length, size_t cut)
{
    UploadBody body(files, 4096);
    Outcome outcome;
    bool going = body.consume(bytes, cut);
    if (going && cut < length)
        going = body.consume(bytes + cut, length - cut);
    outcome.accepted = going && body.finish();
    outcome.status = body.failureStatus();
    if (outcome.accepted) {
        std::ifstream stored(body.file().path(), std::ios::binary);
        outcome.content.assign(std::istreambuf_iterator<char>(stored), {});
    }
    return outcome;
}

const QuorvaneServer::FileStore &store()
{
    static std::unique_ptr<QuorvaneServer::DataFolder> folder;
    static std::unique_ptr<QuorvaneServer::FolderStore> files;
    static std::string where;
    if (!files) {
        const char *temporary = std::getenv("TMPDIR");
        where
            = std::string(temporary && *temporary ? temporary : "/tmp") + "/fuzz_UploadBody-XXXXXX";
        if (!::mkdtemp(where.data()))
            std::abort();
        folder = std::make_unique<QuorvaneServer::DataFolder>(where);
        files = std::make_unique<QuorvaneServer::FolderStore>(*folder);
        std::atexit([] { std::filesystem::remove_all(where); });
    }
    return *files;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const char *bytes = reinterpret_cast<const char *>(data) + 1;
    const size_t length = size - 1;
    const size_t cut = data[0] % size;
    const Outcome whole = run(store(), bytes, length, length);
    const Outcome pieces = run(store(), bytes, length, cut);
    if (whole.accepted != pieces.accepted || whole.status != pieces.status
        || whole.content != pieces.content)
        __builtin_trap();
    if (whole.accepted) {
        const std::string body(bytes, length);
        const size_t separator = body.find("-|+");
        if (separator == std::string::npos
            || body.compare(body.size() - whole.content.size(), std::string::npos, whole.content)
                != 0)
            __builtin_trap();
    }
    return 0;
}
