#pragma once

#include <ctime>
#include <expat.h>
#include <string>
#include <vector>

namespace QuorvaneServer {

// The XML an object store answers with: a page of a listing, the multipart
// uploads under a prefix, a new upload's id or an error's code, read into
// plain values with their entities decoded. What it keeps is no larger than
// the answer itself; an answer that is not well-formed XML reads as empty and
// not valid.
class S3Answer
{
public:
    struct Object
    {
        std::string key;
        // 0 when the store gave no time that reads as one.
        time_t lastModified = 0;
    };
    struct Upload
    {
        std::string key;
        std::string uploadId;
        time_t initiated = 0;
    };

    explicit S3Answer(const std::string &body);

    bool valid() const { return m_valid; }
    // The error's code, as in <Error><Code>.
    const std::string &code() const { return m_code; }
    // A started multipart upload's id.
    const std::string &uploadId() const { return m_uploadId; }
    // A listing that goes on, and the token its next page is asked with.
    bool truncated() const { return m_truncated == "true"; }
    const std::string &nextToken() const { return m_nextToken; }
    // Where the next page of a listing of multipart uploads starts.
    const std::string &nextKeyMarker() const { return m_nextKeyMarker; }
    const std::string &nextUploadIdMarker() const { return m_nextUploadIdMarker; }
    const std::vector<Object> &objects() const { return m_objects; }
    const std::vector<Upload> &uploads() const { return m_uploads; }

private:
    static void XMLCALL onStart(void *self, const XML_Char *name, const XML_Char **attributes);
    static void XMLCALL onEnd(void *self, const XML_Char *name);
    static void XMLCALL onText(void *self, const XML_Char *text, int length);
    static void XMLCALL onDoctype(void *self, const XML_Char *name, const XML_Char *systemId,
                                  const XML_Char *publicId, int hasInternalSubset);
    void start(const char *name);
    void end();

    XML_Parser m_parser = nullptr;
    bool m_valid = false;
    int m_depth = 0;
    // The value being read, and the depth of its element: text of elements
    // nested in it is not part of it.
    std::string *m_field = nullptr;
    int m_fieldDepth = 0;
    // Times are read once their element ends.
    std::string m_time;
    time_t *m_timeField = nullptr;
    enum class Within { Nothing, Object, Upload } m_within = Within::Nothing;
    std::string m_code;
    std::string m_uploadId;
    std::string m_truncated;
    std::string m_nextToken;
    std::string m_nextKeyMarker;
    std::string m_nextUploadIdMarker;
    std::vector<Object> m_objects;
    std::vector<Upload> m_uploads;
};

} // namespace QuorvaneServer
