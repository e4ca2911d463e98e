#include "eventsource/xmleventscanner.h"

#include <algorithm>
#include <cstring>

namespace userCollector {

namespace {

constexpr qint64 StartBytes = 7; // "<Event" and the character after it
constexpr char Close[] = "</Event>";
constexpr qint64 CloseBytes = 8;

} // namespace

bool isXmlEventStart(const char *p)
{
    if (std::memcmp(p, "<Event", 6) != 0)
        return false;
    const char c = p[6];
    return c == ' ' || c == '>' || c == '\t' || c == '\r' || c == '\n' || c == '/';
}

namespace {

// Offset of the first text in data[from, to), or -1.
qint64 find(const char *data, qint64 from, qint64 to, const char *text, qint64 length)
{
    if (to - from < length)
        return -1;
    const void *at = memmem(data + from, static_cast<std::size_t>(to - from), text, static_cast<std::size_t>(length));
    return at ? static_cast<const char *>(at) - data : -1;
}

// Offset of the first element start beginning in data[from, to - 5), or -1;
// a candidate whose seventh byte lies beyond the data (size) is reported as
// cut, at *cut.
qint64 findStart(const char *data, qint64 from, qint64 to, qint64 size, qint64 *cut)
{
    *cut = -1;
    for (qint64 at = from;; ++at) {
        at = find(data, at, to, "<Event", 6);
        if (at < 0)
            return -1;
        if (at + StartBytes > size) {
            *cut = at;
            return -1;
        }
        if (isXmlEventStart(data + at))
            return at;
    }
}

enum class Mark { None, Close, Start };

// The first close ending by closeTo or element start (with its seventh byte
// before size) in data[from, before): one pass over the '<' there.
Mark nextMark(const char *data, qint64 from, qint64 before, qint64 closeTo, qint64 size, qint64 *at)
{
    const char *const end = data + before;
    for (const char *p = data + from; p < end; ++p) {
        p = static_cast<const char *>(std::memchr(p, '<', static_cast<std::size_t>(end - p)));
        if (!p)
            break;
        const qint64 q = p - data;
        if (q + CloseBytes <= closeTo && std::memcmp(p, Close, CloseBytes) == 0) {
            *at = q;
            return Mark::Close;
        }
        if (q + StartBytes <= size && isXmlEventStart(p)) {
            *at = q;
            return Mark::Start;
        }
    }
    return Mark::None;
}

} // namespace

// Each element is decided on its first maxBytes (and the few bytes a close
// or a start there needs): the first start or close in them, or else too
// large, scanning going on where the limit lies. Each search goes over bytes
// not searched before (a waiting scan keeps the last few).
void XmlEventScanner::scan(const char *data, qint64 dataOffset, qint64 size, bool atEnd, const Sink &sink)
{
    qint64 i = m_scan - dataOffset;
    Q_ASSERT(i >= 0 && i <= size);
    for (;;) {
        qint64 cut = -1;
        if (!m_inElement) {
            const qint64 start = findStart(data, i, size, size, &cut);
            if (start < 0) {
                // A start may be cut by the end of the data: from its '<' on, the bytes stay.
                if (atEnd) {
                    i = size;
                } else if (cut >= 0) {
                    i = cut;
                } else {
                    const qint64 tail = std::max(i, size - (StartBytes - 1));
                    const void *lt = std::memchr(data + tail, '<', static_cast<std::size_t>(size - tail));
                    i = lt ? static_cast<const char *>(lt) - data : size;
                }
                break;
            }
            m_inElement = true;
            m_start = dataOffset + start;
            i = start + StartBytes - 1;
            continue;
        }
        const qint64 limit = m_start - dataOffset + m_maxBytes;
        const qint64 window = std::min(size, limit + CloseBytes - 1);
        qint64 at = -1;
        const Mark mark = nextMark(data, i, std::min(size, limit), window, size, &at);
        if (mark == Mark::Start) {
            sink({m_start, dataOffset + at - m_start, Kind::Truncated}, dataOffset + at);
            m_start = dataOffset + at;
            i = at + StartBytes - 1;
            continue;
        }
        if (mark == Mark::Close) {
            i = at + CloseBytes;
            m_inElement = false;
            const qint64 length = dataOffset + i - m_start;
            sink({m_start, length, length > m_maxBytes ? Kind::TooLarge : Kind::Complete}, dataOffset + i);
            continue;
        }
        if (window == limit + CloseBytes - 1 || (atEnd && size >= limit)) {
            // Neither within the limit: given up, not held any longer.
            m_inElement = false;
            sink({m_start, m_maxBytes, Kind::TooLarge}, dataOffset + limit);
            i = limit;
            continue;
        }
        // Undecided: more bytes may bring a close or a start.
        i = atEnd ? size : std::max(i, size - (CloseBytes - 1));
        break;
    }
    m_scan = dataOffset + i;
}

void XmlEventScanner::finish(qint64 end, bool final, const Sink &sink)
{
    if (!final)
        return;
    if (m_inElement) {
        m_inElement = false;
        const qint64 length = end - m_start;
        sink({m_start, length, length >= m_maxBytes ? Kind::TooLarge : Kind::Truncated}, end);
    }
    m_scan = end;
}

} // namespace userCollector
