#include "http/EventDocument.h"

#include <cstring>
#include <new>

namespace QuorvaneServer {

namespace {

// The parser reads the document as ISO-8859-1, so every byte of a value comes
// back as one code point below 256: turning those into bytes again restores
// the value exactly, whatever its encoding. Character references above 255
// stay in UTF-8.
void appendBytes(std::string &out, const char *text, int length)
{
    for (int i = 0; i < length;) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            out += text[i];
            ++i;
            continue;
        }
        const int size = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
        if (size == 2 && i + 1 < length) {
            const unsigned codePoint = ((lead & 0x1fu) << 6) | (text[i + 1] & 0x3fu);
            if (codePoint < 0x100) {
                out += static_cast<char>(codePoint);
                i += 2;
                continue;
            }
        }
        const int available = length - i < size ? length - i : size;
        out.append(text + i, available);
        i += available;
    }
}

} // namespace

EventDocument::EventDocument(size_t maxBytes)
    : m_parser(XML_ParserCreate("ISO-8859-1"))
    , m_maxBytes(maxBytes)
{
    if (!m_parser)
        throw std::bad_alloc();
    XML_SetUserData(m_parser, this);
    XML_SetElementHandler(m_parser, &EventDocument::onStart, &EventDocument::onEnd);
    XML_SetCharacterDataHandler(m_parser, &EventDocument::onText);
    XML_SetStartDoctypeDeclHandler(m_parser, &EventDocument::onDoctype);
}

EventDocument::~EventDocument()
{
    XML_ParserFree(m_parser);
}

EventDocument::State EventDocument::feed(const char *data, size_t size)
{
    if (m_state != State::Reading)
        return m_state;
    const size_t room = m_maxBytes - static_cast<size_t>(m_fed);
    const size_t taken = size < room ? size : room;
    m_buffer.append(data, taken);
    m_fed += taken;
    parse(data, taken, false);
    if (m_state == State::Reading && m_reached > m_bufferStart) {
        m_buffer.erase(0, static_cast<size_t>(m_reached - m_bufferStart));
        m_bufferStart = m_reached;
    }
    if (m_state == State::Complete) {
        m_trailing.append(data + taken, size - taken);
    } else if (m_state == State::Reading && taken < size) {
        m_state = State::Invalid;
        m_error = "the event document is larger than " + std::to_string(m_maxBytes) + " bytes";
    }
    return m_state;
}

EventDocument::State EventDocument::finish()
{
    if (m_state == State::Reading) {
        parse(nullptr, 0, true);
        if (m_state == State::Reading) {
            m_state = State::Invalid;
            m_error = "the body ends inside the event document";
        }
    }
    return m_state;
}

std::string EventDocument::takeTrailing()
{
    std::string trailing = m_buffer.substr(static_cast<size_t>(m_end - m_bufferStart)) + m_trailing;
    m_buffer = std::string();
    m_trailing = std::string();
    return trailing;
}

EventDocument::State EventDocument::parse(const char *data, size_t size, bool final)
{
    const XML_Status status
        = XML_Parse(m_parser, data, static_cast<int>(size), final ? XML_TRUE : XML_FALSE);
    // The end handler stops the parser on purpose, which also reads as an error.
    if (status == XML_STATUS_ERROR && m_state == State::Reading) {
        m_state = State::Invalid;
        m_error = std::string("the event document is not well-formed XML: ")
            + XML_ErrorString(XML_GetErrorCode(m_parser)) + " at line "
            + std::to_string(XML_GetCurrentLineNumber(m_parser)) + ", column "
            + std::to_string(XML_GetCurrentColumnNumber(m_parser));
    }
    return m_state;
}

void EventDocument::reached()
{
    m_reached = static_cast<uint64_t>(XML_GetCurrentByteIndex(m_parser));
}

void EventDocument::stop(const std::string &error)
{
    m_state = State::Invalid;
    m_error = error;
    XML_StopParser(m_parser, XML_FALSE);
}

std::string *EventDocument::fieldNamed(const char *name)
{
    struct Field
    {
        const char *name;
        std::string EventRecord::*member;
    };
    static const Field fields[] = {
        { "id", &EventRecord::id },
        { "name", &EventRecord::name },
        { "path", &EventRecord::path },
        { "type", &EventRecord::type },
        { "content", &EventRecord::content },
        { "description", &EventRecord::description },
        { "recordTime", &EventRecord::recordTime },
        { "recordChanged", &EventRecord::recordChanged },
    };
    for (const Field &field : fields) {
        if (std::strcmp(field.name, name) == 0)
            return &(m_record.*field.member);
    }
    return nullptr;
}

void XMLCALL EventDocument::onStart(void *self, const XML_Char *name, const XML_Char **)
{
    auto *document = static_cast<EventDocument *>(self);
    if (document->m_state != State::Reading)
        return;
    document->reached();
    ++document->m_depth;
    if (document->m_depth == 1) {
        if (std::strcmp(name, "event") != 0)
            return document->stop(std::string("the document's root element is <") + name
                                  + ">, not <event>");
        document->m_rootTagEnd = static_cast<uint64_t>(XML_GetCurrentByteIndex(document->m_parser))
            + static_cast<uint64_t>(XML_GetCurrentByteCount(document->m_parser));
    } else if (document->m_depth == 2) {
        // Unknown elements are skipped; a repeated field keeps its last value.
        document->m_field = document->fieldNamed(name);
        if (document->m_field)
            document->m_field->clear();
    } else {
        document->stop(std::string("element <") + name + "> inside a field of the event");
    }
}

void XMLCALL EventDocument::onEnd(void *self, const XML_Char *)
{
    auto *document = static_cast<EventDocument *>(self);
    if (document->m_state != State::Reading)
        return;
    if (document->m_depth == 1) {
        // The index is where the end tag starts; "<event/>" has no end tag of
        // its own and ends where its start tag ends.
        const int count = XML_GetCurrentByteCount(document->m_parser);
        document->m_end = count > 0
            ? static_cast<uint64_t>(XML_GetCurrentByteIndex(document->m_parser)) + count
            : document->m_rootTagEnd;
        document->m_state = State::Complete;
        XML_StopParser(document->m_parser, XML_FALSE);
    } else if (document->m_depth == 2) {
        document->m_field = nullptr;
    }
    --document->m_depth;
}

void XMLCALL EventDocument::onText(void *self, const XML_Char *text, int length)
{
    auto *document = static_cast<EventDocument *>(self);
    if (document->m_state != State::Reading)
        return;
    document->reached();
    if (document->m_depth == 2 && document->m_field)
        appendBytes(*document->m_field, text, length);
}

void XMLCALL EventDocument::onDoctype(void *self, const XML_Char *, const XML_Char *,
                                      const XML_Char *, int)
{
    static_cast<EventDocument *>(self)->stop("document type declarations are not accepted");
}

} // namespace QuorvaneServer
