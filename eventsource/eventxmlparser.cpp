#include "eventsource/eventxmlparser.h"

#include <QDate>
#include <array>
#include <cstddef>
#include <cstring>
#include <type_traits>

namespace userCollector {

namespace {

constexpr quint64 FileTimeUnitsPerSecond = 10000000ULL;
constexpr qint64 SecondsFrom1601To1970 = 11644473600LL;

struct Span
{
    const char *begin = nullptr;
    const char *end = nullptr;
    bool equals(const char *text, std::size_t length) const
    {
        return static_cast<std::size_t>(end - begin) == length && std::memcmp(begin, text, length) == 0;
    }
    // Literals: their length is known when compiling.
    template <std::size_t N> bool equals(const char (&text)[N]) const { return equals(text, N - 1); }
};

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Names are scanned a character at a time in every tag: a table answers.
struct NameChars
{
    bool table[256] = {};
    constexpr NameChars()
    {
        for (int c = 0; c < 256; ++c)
            table[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
                       c == '-' || c == '.' || c >= 0x80;
    }
};
constexpr NameChars NameCharTable;

// Without the ':' of a namespace prefix.
bool isLocalNameChar(char c)
{
    return NameCharTable.table[static_cast<unsigned char>(c)];
}

bool isNameChar(char c)
{
    return isLocalNameChar(c) || c == ':';
}

void appendCodePoint(QString *out, quint32 cp)
{
    if (cp < 0x10000) {
        out->append(QChar(static_cast<ushort>(cp)));
    } else {
        const char32_t c = cp;
        out->append(QString::fromUcs4(&c, 1));
    }
}

// Appends text with entities decoded; false on a broken entity.
bool appendDecoded(const char *begin, const char *end, QString *out)
{
    const char *run = begin;
    const char *p = begin;
    while (p < end) {
        p = static_cast<const char *>(std::memchr(p, '&', static_cast<std::size_t>(end - p)));
        if (!p)
            break;
        out->append(QString::fromUtf8(run, static_cast<int>(p - run)));
        const char *semi = static_cast<const char *>(std::memchr(p, ';', static_cast<std::size_t>(end - p)));
        if (!semi || semi - p > 12)
            return false;
        const Span entity{p + 1, semi};
        if (entity.equals("amp")) {
            out->append(QLatin1Char('&'));
        } else if (entity.equals("lt")) {
            out->append(QLatin1Char('<'));
        } else if (entity.equals("gt")) {
            out->append(QLatin1Char('>'));
        } else if (entity.equals("quot")) {
            out->append(QLatin1Char('"'));
        } else if (entity.equals("apos")) {
            out->append(QLatin1Char('\''));
        } else if (entity.end - entity.begin >= 2 && entity.begin[0] == '#') {
            const bool hex = entity.begin[1] == 'x' || entity.begin[1] == 'X';
            const char *digit = entity.begin + (hex ? 2 : 1);
            if (digit == entity.end)
                return false;
            quint32 cp = 0;
            for (; digit < entity.end; ++digit) {
                const char c = *digit;
                int value;
                if (c >= '0' && c <= '9')
                    value = c - '0';
                else if (hex && c >= 'a' && c <= 'f')
                    value = c - 'a' + 10;
                else if (hex && c >= 'A' && c <= 'F')
                    value = c - 'A' + 10;
                else
                    return false;
                cp = cp * (hex ? 16 : 10) + static_cast<quint32>(value);
                if (cp > 0x10FFFF)
                    return false;
            }
            if (cp >= 0xD800 && cp <= 0xDFFF)
                return false;
            appendCodePoint(out, cp);
        } else {
            return false;
        }
        p = semi + 1;
        run = p;
    }
    out->append(QString::fromUtf8(run, static_cast<int>(end - run)));
    return true;
}

const char *const DataNames[ValueCount] = {"WorkstationName", nullptr,
                                           nullptr,           nullptr,
                                           "IpAddress",       "TargetDomainName",
                                           "TargetUserSid",   "TargetUserName",
                                           "LogonType",       "LogonProcessName",
                                           "Status"};

// The values named by Data elements, by the length of their names.
struct ByLength
{
    std::array<std::array<int, 2>, 32> candidates;
    ByLength()
    {
        for (std::array<int, 2> &slot : candidates)
            slot = {-1, -1};
        for (int i = 0; i < ValueCount; ++i) {
            if (!DataNames[i])
                continue;
            std::array<int, 2> &slot = candidates[std::strlen(DataNames[i])];
            Q_ASSERT(slot[1] < 0); // no more than two names share a length
            slot[slot[0] < 0 ? 0 : 1] = i;
        }
    }
};

class Parser
{
public:
    Parser(const char *data, std::size_t size, const EventFilter *filter) : p(data), end(data + size), filter(filter) {}

    // False when malformed; unwanted set when the filter refused the event.
    bool run(QString *error);

    bool unwanted = false;

    bool present[ValueCount] = {};
    // A value's text, entities decoded.
    const QString &text(int index);
    // A value as a number: digits only (in base 16 also a-f, A-F), blanks
    // around them allowed, no larger than max.
    bool number(int index, int base, quint64 max, quint64 *value);

private:
    bool fail(const char *why)
    {
        reason = QString::fromLatin1(why);
        return false;
    }
    Span scanName();
    bool parseStartTag(bool *selfClosing);
    bool parseEndTag();
    bool skipUntil(const char *terminator);
    bool addText(const char *begin, const char *stop);

    bool askFilter();

    // Most values are one plain piece of text: kept as its bytes until text
    // is needed, which numbers never need.
    QString raw[ValueCount];
    Span bytes[ValueCount];
    bool asBytes[ValueCount] = {};
    int pieces[ValueCount] = {};

    const char *p;
    const char *end;
    const EventFilter *filter;
    bool systemClosed = false;
    QString reason;
    // Open elements by local name; an event is shallow, deeper nesting is refused.
    Span stack[16];
    int depth = 0;
    int captureIndex = -1;
    int captureDepth = -1;
    bool sawRoot = false;
    bool sawEventId = false;
    bool sawRecordId = false;
};

// Moves over a name and returns it without a namespace prefix: rendered
// events never need one, but some forwarders write "e:Event".
Span Parser::scanName()
{
    const char *local = p;
    for (;;) {
        while (p < end && isLocalNameChar(*p))
            ++p;
        if (p == end || *p != ':')
            return Span{local, p};
        local = ++p;
    }
}

bool Parser::skipUntil(const char *terminator)
{
    const std::size_t length = std::strlen(terminator);
    for (const char *q = p; q + length <= end; ++q) {
        if (std::memcmp(q, terminator, length) == 0) {
            p = q + length;
            return true;
        }
    }
    return false;
}

const QString &Parser::text(int index)
{
    if (asBytes[index]) {
        asBytes[index] = false;
        raw[index] = QString::fromUtf8(bytes[index].begin, static_cast<int>(bytes[index].end - bytes[index].begin));
    }
    return raw[index];
}

bool Parser::addText(const char *begin, const char *stop)
{
    if (captureIndex >= 0 && captureDepth == depth) {
        if (pieces[captureIndex]++ == 0 && !std::memchr(begin, '&', static_cast<std::size_t>(stop - begin))) {
            bytes[captureIndex] = Span{begin, stop};
            asBytes[captureIndex] = true;
            return true;
        }
        text(captureIndex);
        if (!appendDecoded(begin, stop, &raw[captureIndex]))
            return fail("broken character reference");
        return true;
    }
    // Text outside captured values is only checked for stray markup.
    for (const char *q = begin;; ++q) {
        q = static_cast<const char *>(std::memchr(q, '&', static_cast<std::size_t>(stop - q)));
        if (!q)
            break;
        QString ignored;
        const char *semi = static_cast<const char *>(std::memchr(q, ';', static_cast<std::size_t>(stop - q)));
        if (!semi || !appendDecoded(q, semi + 1, &ignored))
            return fail("broken character reference");
        q = semi;
    }
    if (depth == 0) {
        for (const char *q = begin; q < stop; ++q) {
            if (!isSpace(*q))
                return fail("text outside the event element");
        }
    }
    return true;
}

bool Parser::parseStartTag(bool *selfClosing)
{
    // p is just after '<'
    const char *nameBegin = p;
    const Span name = scanName();
    if (p == nameBegin)
        return fail("bad element name");
    if (depth == 0) {
        if (sawRoot || !name.equals("Event"))
            return fail("not an Event element");
        sawRoot = true;
    }
    if (depth >= static_cast<int>(sizeof(stack) / sizeof(stack[0])))
        return fail("elements nested too deeply");

    Span nameAttribute;
    Span systemTime;
    bool hasNameAttribute = false;
    bool hasSystemTime = false;
    for (;;) {
        const char *beforeSpace = p;
        while (p < end && isSpace(*p))
            ++p;
        if (p >= end)
            return fail("unterminated tag");
        if (*p == '>') {
            ++p;
            *selfClosing = false;
            break;
        }
        if (*p == '/') {
            if (p + 1 >= end || p[1] != '>')
                return fail("bad empty-element tag");
            p += 2;
            *selfClosing = true;
            break;
        }
        if (p == beforeSpace)
            return fail("attributes must be separated by blanks");
        const char *attrBegin = p;
        while (p < end && isNameChar(*p))
            ++p;
        if (p == attrBegin)
            return fail("bad attribute name");
        const Span attrName{attrBegin, p};
        while (p < end && isSpace(*p))
            ++p;
        if (p >= end || *p != '=')
            return fail("attribute without value");
        ++p;
        while (p < end && isSpace(*p))
            ++p;
        if (p >= end || (*p != '"' && *p != '\''))
            return fail("attribute value without quotes");
        const char quote = *p++;
        const char *valueBegin = p;
        const char *close = static_cast<const char *>(std::memchr(p, quote, static_cast<std::size_t>(end - p)));
        if (!close)
            return fail("unterminated attribute value");
        if (std::memchr(valueBegin, '<', static_cast<std::size_t>(close - valueBegin)))
            return fail("'<' in an attribute value");
        p = close + 1;
        if (attrName.equals("Name")) {
            nameAttribute = Span{valueBegin, close};
            hasNameAttribute = true;
        } else if (attrName.equals("SystemTime")) {
            systemTime = Span{valueBegin, close};
            hasSystemTime = true;
        }
    }

    // Which value, if any, this element holds.
    int index = -1;
    if (depth == 2 && stack[0].equals("Event")) {
        if (stack[1].equals("System")) {
            if (name.equals("EventID") && !sawEventId) {
                index = ValueEventId;
                sawEventId = true;
            } else if (name.equals("EventRecordID") && !sawRecordId) {
                index = ValueEventRecordId;
                sawRecordId = true;
            } else if (name.equals("TimeCreated") && hasSystemTime && !present[ValueTimeCreated]) {
                present[ValueTimeCreated] = true;
                if (!appendDecoded(systemTime.begin, systemTime.end, &raw[ValueTimeCreated]))
                    return fail("broken character reference");
            }
        } else if (stack[1].equals("EventData") && name.equals("Data") && hasNameAttribute) {
            // Most Data names of an event select no value: their length tells.
            static const ByLength byLength;
            const std::size_t length = static_cast<std::size_t>(nameAttribute.end - nameAttribute.begin);
            if (length < byLength.candidates.size()) {
                for (const int i : byLength.candidates[length]) {
                    // The first element of a name wins, as a path selects the first match.
                    if (i >= 0 && !present[i] && nameAttribute.equals(DataNames[i], length)) {
                        index = i;
                        break;
                    }
                }
            }
        }
    }
    if (index >= 0)
        present[index] = true;
    if (*selfClosing) {
        if (depth == 0)
            return true;
        return true;
    }
    stack[depth++] = name;
    if (index >= 0) {
        captureIndex = index;
        captureDepth = depth;
    }
    return true;
}

bool Parser::parseEndTag()
{
    // p is just after "</"
    const Span name = scanName();
    while (p < end && isSpace(*p))
        ++p;
    if (p >= end || *p != '>')
        return fail("unterminated end tag");
    ++p;
    if (depth == 0 ||
        !(stack[depth - 1].end - stack[depth - 1].begin == name.end - name.begin &&
          std::memcmp(stack[depth - 1].begin, name.begin, static_cast<std::size_t>(name.end - name.begin)) == 0))
        return fail("mismatched end tag");
    if (captureDepth == depth) {
        captureIndex = -1;
        captureDepth = -1;
    }
    if (depth == 2 && name.equals("System"))
        systemClosed = true;
    --depth;
    return true;
}

bool Parser::run(QString *error)
{
    // A byte-order mark or XML declaration may precede the element.
    if (end - p >= 3 && static_cast<unsigned char>(p[0]) == 0xEF && static_cast<unsigned char>(p[1]) == 0xBB &&
        static_cast<unsigned char>(p[2]) == 0xBF)
        p += 3;
    bool ok = true;
    while (ok && p < end) {
        const char *lt = static_cast<const char *>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        const char *textEnd = lt ? lt : end;
        if (textEnd > p && !addText(p, textEnd)) {
            ok = false;
            break;
        }
        if (!lt) {
            p = end;
            break;
        }
        p = lt + 1;
        if (p >= end) {
            ok = fail("unterminated tag");
        } else if (*p == '/') {
            ++p;
            ok = parseEndTag();
            // An unwanted event is left once its System part is behind.
            if (ok && systemClosed && filter && !askFilter())
                return true;
        } else if (*p == '?') {
            ok = skipUntil("?>") || fail("unterminated processing instruction");
        } else if (*p == '!') {
            if (end - p >= 3 && p[1] == '-' && p[2] == '-') {
                p += 3;
                ok = skipUntil("-->") || fail("unterminated comment");
            } else if (end - p >= 8 && std::memcmp(p, "![CDATA[", 8) == 0) {
                p += 8;
                const char *cdataBegin = p;
                if (!skipUntil("]]>")) {
                    ok = fail("unterminated CDATA section");
                } else if (depth == 0) {
                    ok = fail("text outside the event element");
                } else if (captureIndex >= 0 && captureDepth == depth) {
                    ++pieces[captureIndex];
                    text(captureIndex);
                    raw[captureIndex].append(QString::fromUtf8(cdataBegin, static_cast<int>(p - 3 - cdataBegin)));
                }
            } else {
                ok = fail("unexpected markup declaration");
            }
        } else {
            bool selfClosing = false;
            ok = parseStartTag(&selfClosing);
        }
    }
    if (ok && !sawRoot)
        ok = fail("no Event element");
    if (ok && depth != 0)
        ok = fail("unterminated element");
    if (ok && filter)
        askFilter(); // an event without a System part is judged on what it has
    if (!ok && error)
        *error = reason;
    return ok;
}

// Digits only (in base 16 also a-f, A-F), one to twenty of them, no larger
// than max: rendered numbers have neither blanks nor signs.
template <typename Char>
bool parseDigits(const Char *text, std::ptrdiff_t length, int base, quint64 max, quint64 *value)
{
    if (length <= 0 || length > 20)
        return false;
    quint64 result = 0;
    for (std::ptrdiff_t i = 0; i < length; ++i) {
        const unsigned c = static_cast<std::make_unsigned_t<Char>>(text[i]);
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        if (result > (max - digit) / static_cast<unsigned>(base))
            return false;
        result = result * static_cast<unsigned>(base) + digit;
    }
    *value = result;
    return true;
}

bool parseUnsigned(const QString &text, int base, quint64 max, quint64 *value)
{
    return parseDigits(text.utf16(), text.size(), base, max, value);
}

void setNumber(Parser &parser, int index, EventValue *value, EventValueType type, quint64 max)
{
    quint64 number = 0;
    if (parser.number(index, 10, max, &number)) {
        value->type = type;
        value->number = number;
    }
}

bool isSidText(const QString &text)
{
    if (text.size() < 5 || text.size() > 184 || !text.startsWith(QLatin1String("S-1-"), Qt::CaseInsensitive))
        return false;
    bool digitSeen = false;
    for (int i = 4; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isDigit() && c.unicode() < 128) {
            digitSeen = true;
        } else if (c == QLatin1Char('-') && digitSeen) {
            digitSeen = false;
        } else {
            return false;
        }
    }
    return digitSeen;
}

bool Parser::number(int index, int base, quint64 max, quint64 *value)
{
    // Plain digits are read from the bytes; anything else as text.
    if (asBytes[index] && parseDigits(bytes[index].begin, bytes[index].end - bytes[index].begin, base, max, value))
        return true;
    return parseUnsigned(text(index).trimmed(), base, max, value);
}

void typeValues(Parser &parser, RenderedEvent *event)
{
    for (int i = 0; i < ValueCount; ++i) {
        EventValue &value = event->values[static_cast<std::size_t>(i)];
        value = EventValue();
        if (!parser.present[i])
            continue;
        switch (i) {
        case ValueTimeCreated: {
            quint64 fileTime = 0;
            if (parseSystemTime(parser.text(i), &fileTime)) {
                value.type = EventValueType::FileTime;
                value.number = fileTime;
            }
            break;
        }
        case ValueEventId:
            setNumber(parser, i, &value, EventValueType::UInt16, 0xFFFF);
            break;
        case ValueEventRecordId:
            setNumber(parser, i, &value, EventValueType::UInt64, ~quint64(0));
            break;
        case ValueLogonType:
            setNumber(parser, i, &value, EventValueType::UInt32, 0xFFFFFFFFULL);
            break;
        case ValueTargetUserSid: {
            const QString trimmed = parser.text(i).trimmed();
            if (isSidText(trimmed)) {
                value.type = EventValueType::Sid;
                value.text = trimmed.toUpper();
            }
            break;
        }
        case ValueStatus: {
            const QString trimmed = parser.text(i).trimmed();
            quint64 number = 0;
            if (trimmed.size() > 2 && trimmed.size() <= 10 &&
                trimmed.startsWith(QLatin1String("0x"), Qt::CaseInsensitive) &&
                parseUnsigned(trimmed.mid(2), 16, 0xFFFFFFFFULL, &number)) {
                value.type = EventValueType::HexInt32;
                value.number = number;
            }
            break;
        }
        default:
            value.type = EventValueType::String;
            value.text = parser.text(i);
            break;
        }
    }
}

bool Parser::askFilter()
{
    const EventFilter *ask = filter;
    filter = nullptr; // asked once
    EventValue eventId;
    EventValue recordId;
    if (present[ValueEventId])
        setNumber(*this, ValueEventId, &eventId, EventValueType::UInt16, 0xFFFF);
    if (present[ValueEventRecordId])
        setNumber(*this, ValueEventRecordId, &recordId, EventValueType::UInt64, ~quint64(0));
    unwanted = !(*ask)(eventId, recordId);
    return !unwanted;
}

int digits(const QString &text, int from, int count, bool *ok)
{
    int value = 0;
    for (int i = from; i < from + count; ++i) {
        if (i >= text.size() || !text.at(i).isDigit() || text.at(i).unicode() >= 128) {
            *ok = false;
            return 0;
        }
        value = value * 10 + (text.at(i).unicode() - '0');
    }
    return value;
}

} // namespace

bool parseSystemTime(const QString &text, quint64 *fileTime)
{
    // YYYY-MM-DDTHH:MM:SS[.fraction][Z]; a blank may stand for the T.
    const QString t = text.trimmed();
    bool ok = t.size() >= 19 && t.at(4) == QLatin1Char('-') && t.at(7) == QLatin1Char('-') &&
              (t.at(10) == QLatin1Char('T') || t.at(10) == QLatin1Char(' ')) && t.at(13) == QLatin1Char(':') &&
              t.at(16) == QLatin1Char(':');
    if (!ok)
        return false;
    const int year = digits(t, 0, 4, &ok);
    const int month = digits(t, 5, 2, &ok);
    const int day = digits(t, 8, 2, &ok);
    const int hour = digits(t, 11, 2, &ok);
    const int minute = digits(t, 14, 2, &ok);
    const int second = digits(t, 17, 2, &ok);
    if (!ok || year < 1601 || hour > 23 || minute > 59 || second > 59)
        return false;
    const QDate date(year, month, day);
    if (!date.isValid())
        return false;
    int i = 19;
    quint64 fraction = 0;
    if (i < t.size() && t.at(i) == QLatin1Char('.')) {
        ++i;
        int count = 0;
        while (i < t.size() && t.at(i).isDigit() && t.at(i).unicode() < 128) {
            if (count < 7) {
                fraction = fraction * 10 + static_cast<quint64>(t.at(i).unicode() - '0');
                ++count;
            }
            ++i;
        }
        if (count == 0)
            return false;
        for (; count < 7; ++count)
            fraction *= 10;
    }
    if (i < t.size() && t.at(i) == QLatin1Char('Z'))
        ++i;
    if (i != t.size())
        return false;
    const qint64 days = date.toJulianDay() - QDate(1970, 1, 1).toJulianDay();
    const qint64 seconds = days * 86400 + hour * 3600 + minute * 60 + second + SecondsFrom1601To1970;
    *fileTime = static_cast<quint64>(seconds) * FileTimeUnitsPerSecond + fraction;
    return true;
}

bool parseEventXml(const char *data, std::size_t size, RenderedEvent *event, QString *error)
{
    Parser parser(data, size, nullptr);
    if (!parser.run(error)) {
        event->rendered = false;
        return false;
    }
    typeValues(parser, event);
    event->rendered = true;
    return true;
}

EventParse parseWantedEventXml(const char *data, std::size_t size, const EventFilter &filter, RenderedEvent *event,
                               QString *error)
{
    Parser parser(data, size, &filter);
    if (!parser.run(error)) {
        event->rendered = false;
        return EventParse::Malformed;
    }
    if (parser.unwanted)
        return EventParse::Unwanted;
    typeValues(parser, event);
    event->rendered = true;
    return EventParse::Wanted;
}

} // namespace userCollector
