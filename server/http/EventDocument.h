#pragma once

#include "store/EventRecord.h"

#include <cstddef>
#include <cstdint>
#include <expat.h>
#include <string>

namespace QuorvaneServer {

// Reads the event XML document at the start of an upload body, fed in pieces
// as they arrive. The parser itself says where the document ends (the end of
// the root element), so the bytes after it are found without searching for a
// marker that a value might contain.
class EventDocument
{
public:
    enum class State { Reading, Complete, Invalid };

    explicit EventDocument(size_t maxBytes);
    ~EventDocument();
    EventDocument(const EventDocument &) = delete;
    EventDocument &operator=(const EventDocument &) = delete;

    State feed(const char *data, size_t size);
    // The input has ended.
    State finish();

    State state() const { return m_state; }
    const EventRecord &record() const { return m_record; }
    const std::string &error() const { return m_error; }
    // The bytes fed after the end of the document; valid once Complete.
    std::string takeTrailing();

private:
    static void XMLCALL onStart(void *self, const XML_Char *name, const XML_Char **attributes);
    static void XMLCALL onEnd(void *self, const XML_Char *name);
    static void XMLCALL onText(void *self, const XML_Char *text, int length);
    static void XMLCALL onDoctype(void *self, const XML_Char *name, const XML_Char *systemId,
                                  const XML_Char *publicId, int hasInternalSubset);

    State parse(const char *data, size_t size, bool final);
    // Every event the parser reports lies at or after where the current one
    // starts: the bytes before it are not needed again.
    void reached();
    void stop(const std::string &error);
    std::string *fieldNamed(const char *name);

    XML_Parser m_parser;
    size_t m_maxBytes;
    uint64_t m_fed = 0;
    // The bytes fed from m_bufferStart on, which the parser may not have
    // reported yet: not the whole document, which a slow client could keep
    // on the server for each of its uploads beside the values.
    std::string m_buffer;
    uint64_t m_bufferStart = 0;
    uint64_t m_reached = 0;
    std::string m_trailing;
    State m_state = State::Reading;
    int m_depth = 0;
    std::string *m_field = nullptr;
    uint64_t m_rootTagEnd = 0;
    uint64_t m_end = 0;
    EventRecord m_record;
    std::string m_error;
};

} // namespace QuorvaneServer
