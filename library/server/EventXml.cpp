#include "EventXml.h"

#include <QFile>
#include <QIODevice>
#include <QString>
#include <algorithm>
#include <iterator>

namespace Quorvane {

namespace {

void element(QByteArray &out, const char *tag, const QByteArray &inner)
{
    out += '<';
    out += tag;
    out += '>';
    out += inner;
    out += "</";
    out += tag;
    out += '>';
}

struct Key
{
    const char *line;
    EventElement::Field field;
};

const Key Keys[] = {
    { "id\n", EventElement::Id },
    { "name\n", EventElement::Name },
    { "path\n", EventElement::Path },
    { "type\n", EventElement::Type },
    { "content\n", EventElement::Content },
    { "description\n", EventElement::Description },
    { "recordTime\n", EventElement::RecordTime },
    { "recordChanged\n", EventElement::RecordChanged },
};

// Reads the lines of one answer through one buffer, so that a kept line costs
// its own bytes only: a line read into a block of the bound and shrunk
// afterwards kept a memory mapping of its own, and tens of thousands of
// events used up the process's mappings.
class LineReader
{
public:
    explicit LineReader(QIODevice &answer)
        : m_answer(answer)
        , m_buffer(EventXml::MaxAnswerLine + 2, Qt::Uninitialized)
    {
    }

    // One line, line feed included (empty at the end); false when it is
    // longer than we take.
    bool next(QByteArray &line)
    {
        QByteArrayView view;
        if (!next(view))
            return false;
        line = view.isEmpty() ? QByteArray() : view.toByteArray();
        return true;
    }

    // The same as a view into the buffer, valid until the next line: a line
    // that is only looked at costs no copy.
    bool next(QByteArrayView &line)
    {
        // Room for one byte more than the bound, so that a longer line shows
        // itself.
        const qint64 got = m_answer.readLine(m_buffer.data(), m_buffer.size());
        if (got > EventXml::MaxAnswerLine)
            return false;
        line = got > 0 ? QByteArrayView(m_buffer.constData(), got) : QByteArrayView();
        return true;
    }

private:
    QIODevice &m_answer;
    QByteArray m_buffer;
};

} // namespace

QByteArray EventXml::serverPath(const QByteArray &path)
{
    const int cut = qMax(path.lastIndexOf('/'), path.lastIndexOf('\\'));
    const QByteArray name = path.mid(cut + 1);
    // A path that names no file stays a file event's path: ".", which no store
    // takes for a copy, not the empty path that makes an event a text.
    if (name.isEmpty() || name == "." || name == ".." || name.contains('\0'))
        return path.isEmpty() ? QByteArray() : QByteArrayLiteral(".");
    return name;
}

QByteArray EventXml::pathText(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? path : path.mid(slash + 1);
}

QByteArray EventXml::escapeText(const QByteArray &value)
{
    QByteArray out;
    out.reserve(value.size());
    for (const char c : value) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

QByteArray EventXml::cdata(const QByteArray &value)
{
    // A "]]>" inside would close the section early: split it across two.
    QByteArray inner = value;
    inner.replace("]]>", "]]]]><![CDATA[>");
    return "<![CDATA[" + inner + "]]>";
}

QByteArray EventXml::document(const EventElement &event)
{
    QByteArray out("<?xml version=\"1.0\" encoding=\"UTF-8\"?><event>");
    element(out, "id", escapeText(event.getId()));
    element(out, "name", cdata(event.getName()));
    element(out, "path", cdata(pathText(event.getPath())));
    element(out, "type", escapeText(event.getType()));
    element(out, "content", cdata(event.getContent()));
    element(out, "description", cdata(event.getDescription()));
    element(out, "recordTime", escapeText(event.getRecordTime()));
    element(out, "recordChanged", escapeText(event.getRecordChanged()));
    out += "</event>";
    return out;
}

bool EventXml::isLoginRefusal(const QByteArray &line)
{
    return line.contains(LoginRefusal);
}

int EventXml::readEventList(QIODevice &answer, EventMap &events)
{
    // The first line is always the status line, whatever it holds.
    LineReader lines(answer);
    QByteArray line;
    if (!lines.next(line))
        return 99;
    if (isLoginRefusal(line))
        return 100;

    for (;;) {
        // A record's texts are gathered first and stored in one go.
        QByteArray values[EventElement::FieldCount];
        EventElement::Texts given {};
        for (;;) {
            QByteArrayView key;
            if (!lines.next(key))
                return 99;
            if (key.isEmpty())
                return 0; // a record not closed before the end is dropped
            if (key == "event\n")
                break;
            const auto known = std::find_if(std::begin(Keys), std::end(Keys),
                                            [&key](const Key &k) { return key == k.line; });
            if (known == std::end(Keys))
                continue; // not a key where a key belongs: skipped
            // The value is the next line less its last character (the line feed).
            QByteArrayView value;
            if (!lines.next(value))
                return 99;
            if (value.isEmpty())
                return 0;
            value.chop(1);
            QByteArray &slot = values[known->field];
            slot = value.toByteArray();
            if (known->field == EventElement::Path)
                slot = serverPath(slot);
            given[known->field] = &slot;
        }
        EventElement record;
        record.setTexts(given);
        record.listed = true;
        events.insert(record.getId(), record);
    }
}

int EventXml::readEventList(const QString &fileName, EventMap &events)
{
    QFile answer(fileName);
    if (!answer.open(QIODevice::ReadOnly))
        return 0;
    return readEventList(answer, events);
}

int EventXml::checkSaveAnswer(const QString &fileName)
{
    QFile answer(fileName);
    if (!answer.open(QIODevice::ReadOnly))
        return 0;
    return checkSaveAnswer(answer);
}

int EventXml::checkSaveAnswer(QIODevice &answer)
{
    QByteArray line;
    if (!LineReader(answer).next(line))
        return 99;
    return isLoginRefusal(line) ? 100 : 0;
}

} // namespace Quorvane
