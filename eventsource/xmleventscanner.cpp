#include "eventsource/xmleventscanner.h"

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

void XmlEventScanner::scan(const char *data, qint64 dataOffset, qint64 size, bool atEnd, const Sink &sink)
{
    qint64 i = m_scan - dataOffset;
    Q_ASSERT(i >= 0 && i <= size);
    for (;;) {
        if (m_inElement && dataOffset + i - m_start >= m_maxBytes) {
            // Even a close here would make it too large: it is not held any longer.
            m_inElement = false;
            sink({m_start, dataOffset + i - m_start, Kind::TooLarge}, dataOffset + i);
        }
        const void *lt = i < size ? std::memchr(data + i, '<', static_cast<std::size_t>(size - i)) : nullptr;
        if (!lt) {
            i = size;
            break;
        }
        i = static_cast<const char *>(lt) - data;
        if (m_inElement && dataOffset + i - m_start >= m_maxBytes)
            continue;
        if (!m_inElement) {
            if (size - i < StartBytes) {
                if (!atEnd)
                    break; // may be a start cut by the end of the data
                i = size;
                break;
            }
            if (isXmlEventStart(data + i)) {
                m_inElement = true;
                m_start = dataOffset + i;
                i += StartBytes - 1;
            } else {
                ++i;
            }
            continue;
        }
        if (size - i < CloseBytes && !atEnd)
            break; // may be a close or a start cut by the end of the data
        if (size - i >= CloseBytes && std::memcmp(data + i, Close, CloseBytes) == 0) {
            i += CloseBytes;
            m_inElement = false;
            const qint64 length = dataOffset + i - m_start;
            sink({m_start, length, length > m_maxBytes ? Kind::TooLarge : Kind::Complete}, dataOffset + i);
        } else if (size - i >= StartBytes && isXmlEventStart(data + i)) {
            sink({m_start, dataOffset + i - m_start, Kind::Truncated}, dataOffset + i);
            m_start = dataOffset + i;
            i += StartBytes - 1;
        } else {
            ++i;
        }
    }
    m_scan = dataOffset + i;
    if (m_inElement && m_scan - m_start >= m_maxBytes) {
        m_inElement = false;
        sink({m_start, m_scan - m_start, Kind::TooLarge}, m_scan);
    }
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
