#include "store/S3Answer.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace QuorvaneServer {

namespace {

// Seconds since the epoch of a time as stores write it (2026-01-02T03:04:05.000Z),
// or 0 when it reads as none.
time_t readTime(const std::string &text)
{
    struct tm parts = {};
    if (!::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &parts))
        return 0;
    const time_t time = ::timegm(&parts);
    return time > 0 ? time : 0;
}

} // namespace

S3Answer::S3Answer(const std::string &body)
    : m_parser(XML_ParserCreate(nullptr))
{
    if (!m_parser)
        throw std::bad_alloc();
    XML_SetUserData(m_parser, this);
    XML_SetElementHandler(m_parser, &S3Answer::onStart, &S3Answer::onEnd);
    XML_SetCharacterDataHandler(m_parser, &S3Answer::onText);
    XML_SetStartDoctypeDeclHandler(m_parser, &S3Answer::onDoctype);
    // The parser counts in int; a larger answer goes in pieces.
    constexpr size_t Piece = 1 << 20;
    size_t at = 0;
    bool wellFormed = true;
    do {
        const size_t size = std::min(Piece, body.size() - at);
        const bool last = at + size == body.size();
        wellFormed = XML_Parse(m_parser, body.data() + at, static_cast<int>(size),
                               last ? XML_TRUE : XML_FALSE)
            == XML_STATUS_OK;
        at += size;
    } while (wellFormed && at < body.size());
    XML_ParserFree(m_parser);
    m_parser = nullptr;
    m_field = nullptr;
    m_timeField = nullptr;
    m_valid = wellFormed && m_depth == 0;
    if (!m_valid) {
        // Half an answer is no answer: nothing in it is acted on.
        m_code.clear();
        m_uploadId.clear();
        m_truncated.clear();
        m_nextToken.clear();
        m_nextKeyMarker.clear();
        m_nextUploadIdMarker.clear();
        m_objects.clear();
        m_uploads.clear();
    }
}

void S3Answer::start(const char *name)
{
    ++m_depth;
    const auto is = [name](const char *wanted) { return std::strcmp(name, wanted) == 0; };
    const auto field = [this](std::string &value) {
        value.clear();
        m_field = &value;
        m_fieldDepth = m_depth;
    };
    const auto time = [this, &field](time_t &value) {
        field(m_time);
        m_timeField = &value;
    };
    // Elements inside a value add nothing to it.
    if (m_field)
        return;
    if (m_depth == 2) {
        m_within = Within::Nothing;
        if (is("Contents")) {
            m_objects.emplace_back();
            m_within = Within::Object;
        } else if (is("Upload")) {
            m_uploads.emplace_back();
            m_within = Within::Upload;
        } else if (is("Code")) {
            field(m_code);
        } else if (is("UploadId")) {
            field(m_uploadId);
        } else if (is("IsTruncated")) {
            field(m_truncated);
        } else if (is("NextContinuationToken")) {
            field(m_nextToken);
        } else if (is("NextKeyMarker")) {
            field(m_nextKeyMarker);
        } else if (is("NextUploadIdMarker")) {
            field(m_nextUploadIdMarker);
        }
    } else if (m_depth == 3 && m_within == Within::Object) {
        if (is("Key"))
            field(m_objects.back().key);
        else if (is("LastModified"))
            time(m_objects.back().lastModified);
    } else if (m_depth == 3 && m_within == Within::Upload) {
        if (is("Key"))
            field(m_uploads.back().key);
        else if (is("UploadId"))
            field(m_uploads.back().uploadId);
        else if (is("Initiated"))
            time(m_uploads.back().initiated);
    }
}

void S3Answer::end()
{
    if (m_field && m_depth == m_fieldDepth) {
        if (m_timeField)
            *m_timeField = readTime(m_time);
        m_field = nullptr;
        m_timeField = nullptr;
    }
    if (m_depth == 2)
        m_within = Within::Nothing;
    --m_depth;
}

void XMLCALL S3Answer::onStart(void *self, const XML_Char *name, const XML_Char **)
{
    static_cast<S3Answer *>(self)->start(name);
}

void XMLCALL S3Answer::onEnd(void *self, const XML_Char *)
{
    static_cast<S3Answer *>(self)->end();
}

void XMLCALL S3Answer::onText(void *self, const XML_Char *text, int length)
{
    auto *answer = static_cast<S3Answer *>(self);
    if (answer->m_field && answer->m_depth == answer->m_fieldDepth)
        answer->m_field->append(text, static_cast<size_t>(length));
}

void XMLCALL S3Answer::onDoctype(void *self, const XML_Char *, const XML_Char *, const XML_Char *,
                                 int)
{
    // Stores declare no entities; a document that does could make a small
    // answer expand into a large one.
    XML_StopParser(static_cast<S3Answer *>(self)->m_parser, XML_FALSE);
}

} // namespace QuorvaneServer
