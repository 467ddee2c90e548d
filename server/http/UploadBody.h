#pragma once

#include "http/EventDocument.h"
#include "store/TempFile.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace QuorvaneServer {

class FileStore;

// The body of an upload as it arrives: the event XML document, "-|+", then the
// file's bytes, which go straight into a temporary file so that memory stays
// bounded whatever the size.
class UploadBody
{
public:
    // length: of the whole body, when known.
    UploadBody(const FileStore &files, size_t maxDocument,
               std::optional<uint64_t> length = std::nullopt);

    // Takes the next bytes; false once the body is refused (see failure()),
    // after which the rest of the body can be dropped.
    bool consume(const char *data, size_t size);
    // Room for the file's bytes in place, once the document is read, so that
    // they are not copied from another buffer first; empty before that and
    // once refused (then consume() answers false).
    std::pair<char *, size_t> room();
    // size bytes at room() were filled; false once the body is refused.
    bool took(size_t size);
    // Whether room() can be had now; when not, wake is called (from another
    // thread) once it can: a slow store holds back the client.
    bool whenReady(std::function<void()> wake);
    // The body has ended: checks that it was complete and makes the file durable.
    bool finish();

    // The HTTP status of a refusal: 400 for a malformed body, 507 when the disk
    // is full, 500 for other failures of the server.
    int failureStatus() const { return m_failureStatus; }
    const std::string &failure() const { return m_failure; }
    const EventRecord &event() const { return m_document.record(); }
    TempFile &file() { return *m_file; }

private:
    enum class Phase { Document, Separator, Content, Refused };

    bool documentComplete();
    bool takeBytes(const char *data, size_t size);
    bool refuse(int status, std::string failure);
    bool fileFailed(const char *what);

    const FileStore &m_files;
    EventDocument m_document;
    Phase m_phase = Phase::Document;
    std::optional<uint64_t> m_length;
    uint64_t m_consumed = 0;
    std::string m_separator;
    std::unique_ptr<TempFile> m_file;
    int m_failureStatus = 0;
    std::string m_failure;
};

} // namespace QuorvaneServer
