#include "http/UploadBody.h"

#include "store/FileStore.h"

#include <cerrno>
#include <cstring>

namespace QuorvaneServer {

namespace {

const std::string Separator = "-|+";
const char *const NoSeparator = "the event document is not followed by \"-|+\"";

} // namespace

UploadBody::UploadBody(const FileStore &files, size_t maxDocument, std::optional<uint64_t> length)
    : m_files(files)
    , m_document(maxDocument)
    , m_length(length)
{
}

bool UploadBody::consume(const char *data, size_t size)
{
    m_consumed += size;
    switch (m_phase) {
    case Phase::Document:
        switch (m_document.feed(data, size)) {
        case EventDocument::State::Reading:
            return true;
        case EventDocument::State::Invalid:
            return refuse(400, m_document.error());
        case EventDocument::State::Complete:
            return documentComplete();
        }
        return false;
    case Phase::Separator:
    case Phase::Content:
        return takeBytes(data, size);
    case Phase::Refused:
        break;
    }
    return false;
}

std::pair<char *, size_t> UploadBody::room()
{
    if (m_phase != Phase::Content)
        return { nullptr, 0 };
    const auto room = m_file->room();
    if (room.second == 0)
        fileFailed("cannot write the uploaded file");
    return room;
}

bool UploadBody::took(size_t size)
{
    if (m_phase != Phase::Content)
        return false;
    m_consumed += size;
    m_file->commit(size);
    return true;
}

bool UploadBody::whenReady(std::function<void()> wake)
{
    return m_phase != Phase::Content || m_file->whenReady(std::move(wake));
}

bool UploadBody::finish()
{
    if (m_phase == Phase::Document) {
        if (m_document.finish() != EventDocument::State::Complete)
            return refuse(400, m_document.error());
        if (!documentComplete())
            return false;
    }
    if (m_phase == Phase::Refused)
        return false;
    if (m_phase == Phase::Separator)
        return refuse(400, NoSeparator);
    if (!m_file->sync())
        return fileFailed("cannot write the uploaded file");
    return true;
}

bool UploadBody::documentComplete()
{
    if (const char *problem = eventIdProblem(m_document.record().id))
        return refuse(400, problem);
    m_phase = Phase::Separator;
    const std::string trailing = m_document.takeTrailing();
    return takeBytes(trailing.data(), trailing.size());
}

bool UploadBody::takeBytes(const char *data, size_t size)
{
    if (m_phase == Phase::Separator) {
        const size_t wanted = Separator.size() - m_separator.size();
        const size_t taken = size < wanted ? size : wanted;
        m_separator.append(data, taken);
        data += taken;
        size -= taken;
        if (Separator.compare(0, m_separator.size(), m_separator) != 0)
            return refuse(400, NoSeparator);
        if (m_separator.size() < Separator.size())
            return true;
        m_phase = Phase::Content;
        // What is left of the body, whose first size bytes are in hand.
        const uint64_t rest = m_length ? *m_length - m_consumed + size : FileStore::UnknownSize;
        m_file = m_files.createTemporary(rest);
        if (m_file->error() != 0)
            return fileFailed("cannot create a temporary file");
    }
    if (size > 0 && !m_file->write(data, size))
        return fileFailed("cannot write the uploaded file");
    return true;
}

bool UploadBody::refuse(int status, std::string failure)
{
    m_phase = Phase::Refused;
    m_failureStatus = status;
    m_failure = std::move(failure);
    m_file.reset();
    return false;
}

bool UploadBody::fileFailed(const char *what)
{
    const int error = m_file->error();
    // EAGAIN: the object store's passing trouble.
    return refuse(error == ENOSPC || error == EDQUOT ? 507
                      : error == EAGAIN              ? 503
                                                     : 500,
                  std::string(what) + ": " + std::strerror(error));
}

} // namespace QuorvaneServer
