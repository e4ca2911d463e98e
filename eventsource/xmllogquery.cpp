#include "eventsource/xmllogquery.h"

#include "eventsource/xmleventscanner.h"
#include "log/applicationdebug.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace userCollector {

FileHandle::~FileHandle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool readFileAt(int fd, qint64 offset, char *buffer, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t n = ::pread(fd, buffer + done, static_cast<std::size_t>(length - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

namespace {

qint64 segmentBytes = XmlRegion::SegmentBytes; // changed by fuzzing only, before any reading

} // namespace

void XmlRegion::setSegmentBytesForTest(qint64 bytes)
{
    segmentBytes = bytes;
}

namespace {

// The first element start in the file at [from, to), or -1 (also when the
// file cannot be read); read in small pieces, each byte once.
qint64 findStartInFile(int fd, qint64 from, qint64 to)
{
    constexpr qint64 Piece = 64 * 1024;
    std::vector<char> buffer;
    for (qint64 at = from; at < to;) {
        // The six bytes after a piece let a start at its end be recognised.
        const qint64 length = std::min(Piece, to - at) + 6;
        buffer.resize(static_cast<std::size_t>(length));
        qint64 got = 0;
        while (got < length) {
            const ssize_t n = ::pread(fd, buffer.data() + got, static_cast<std::size_t>(length - got), at + got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += n;
        }
        const qint64 searched = std::min(got - 6, to - at); // where a start may begin
        for (qint64 i = 0; i < searched;) {
            const void *hit = memmem(buffer.data() + i, static_cast<std::size_t>(searched + 6 - i), "<Event", 6);
            if (!hit)
                break;
            const qint64 offset = static_cast<const char *>(hit) - buffer.data();
            if (offset >= searched)
                break;
            if (isXmlEventStart(buffer.data() + offset))
                return at + offset;
            i = offset + 1;
        }
        if (got < length)
            return -1;
        at += searched;
    }
    return -1;
}

} // namespace

// Every element start is a point where scanning can begin afresh: whatever
// came before it is truncated there or was decided before. So is a point
// with no start in the maxEventBytes before it. The segments begin at such
// points about segmentBytes apart, found by looking at a few bytes at each;
// only the last segment is scanned here, to learn where reading resolves.
qint64 XmlRegion::plan(qint64 maxEventBytes)
{
    segments.assign(1, begin);
    for (qint64 step = begin + segmentBytes; step < end;) {
        const qint64 reach = step + maxEventBytes + 8;
        qint64 point = findStartInFile(file->fd(), step, std::min(end, reach));
        if (point < 0 && reach < end)
            point = reach;
        if (point < 0)
            break;
        segments.push_back(point);
        step = point + segmentBytes;
    }

    const qint64 readBytes = std::max<qint64>(segmentBytes, 64 * 1024);
    const XmlEventScanner::Sink ignore = [](const XmlEventScanner::Element &, qint64) {};
    XmlEventScanner scanner(segments.back(), maxEventBytes);
    std::vector<char> buffer;
    qint64 bufferOffset = segments.back();
    qint64 readTo = segments.back();
    while (readTo < end) {
        // Only what the scanner has not decided on yet is kept.
        const qint64 keep = scanner.scanPosition();
        buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(keep - bufferOffset));
        bufferOffset = keep;
        const qint64 length = std::min(readBytes, end - readTo);
        const std::size_t old = buffer.size();
        buffer.resize(old + static_cast<std::size_t>(length));
        if (!readFileAt(file->fd(), readTo, buffer.data() + old, length)) {
            end = readTo; // cut short while being read: the rest is for the next reading
            final = false;
            break;
        }
        readTo += length;
        scanner.scan(buffer.data(), bufferOffset, static_cast<qint64>(buffer.size()), final && readTo == end, ignore);
    }
    openTail = final ? scanner.openElement() : -1;
    scanner.finish(end, final, ignore);
    end = final ? end : scanner.resolved();
    while (!segments.empty() && segments.back() >= end)
        segments.pop_back();
    return end;
}

UnreadableEvents::~UnreadableEvents()
{
    if (m_count > Reported)
        ApplicationDebug::logLow(
            QStringLiteral("%1: %2 more unreadable events skipped").arg(m_server).arg(m_count - Reported));
}

int UnreadableEvents::add(const QString &why, std::vector<RenderedEvent> *events)
{
    if (++m_count > Reported)
        return 0;
    RenderedEvent event;
    event.rendered = false;
    event.renderError = EventLogError::InvalidData;
    event.renderErrorText = why;
    events->push_back(std::move(event));
    return 1;
}

XmlLogQuery::XmlLogQuery(const QString &server, std::vector<XmlRegion> regions, EventFilter filter,
                         qint64 maxEventBytes)
    : m_regions(std::move(regions)), m_filter(std::move(filter)), m_maxEventBytes(maxEventBytes), m_unreadable(server)
{}

bool XmlLogQuery::loadNextSegment()
{
    m_elements.clear();
    while (!m_regions.empty()) {
        XmlRegion &region = m_regions.back();
        if (region.segments.empty()) {
            m_regions.pop_back();
            continue;
        }
        const qint64 start = region.segments.back();
        const qint64 stop = region.end;
        region.segments.pop_back();
        region.end = start;
        m_segmentOffset = start;
        m_segmentName = region.name;
        m_segment.resize(static_cast<std::size_t>(stop - start));
        if (!readFileAt(region.file->fd(), start, m_segment.data(), stop - start)) {
            ApplicationDebug::logLow(
                QStringLiteral("%1: %2 could not be read again at offset %3").arg(m_server, region.name).arg(start));
            continue;
        }
        const XmlEventScanner::Sink sink = [this, start](const XmlEventScanner::Element &element, qint64) {
            m_elements.push_back(
                {static_cast<quint32>(element.offset - start), static_cast<quint32>(element.length), element.kind});
        };
        XmlEventScanner scanner(start, m_maxEventBytes);
        scanner.scan(m_segment.data(), start, stop - start, true, sink);
        scanner.finish(stop, true, sink);
        if (!m_elements.empty())
            return true;
    }
    return false;
}

quint32 XmlLogQuery::next(int max, std::vector<RenderedEvent> *events)
{
    int count = 0;
    while (count < max) {
        if (m_elements.empty() && !loadNextSegment())
            break;
        const Element element = m_elements.back();
        m_elements.pop_back();
        const qint64 offset = m_segmentOffset + element.offset;
        switch (element.kind) {
        case XmlEventScanner::Kind::Truncated:
            count += m_unreadable.add(
                QStringLiteral("truncated event at offset %1 of %2").arg(offset).arg(m_segmentName), events);
            break;
        case XmlEventScanner::Kind::TooLarge:
            count += m_unreadable.add(QStringLiteral("event at offset %1 of %2 larger than %3 bytes")
                                          .arg(offset)
                                          .arg(m_segmentName)
                                          .arg(m_maxEventBytes),
                                      events);
            break;
        case XmlEventScanner::Kind::Complete: {
            RenderedEvent event;
            QString why;
            switch (parseWantedEventXml(m_segment.data() + element.offset, element.length, m_filter, &event, &why)) {
            case EventParse::Wanted:
                events->push_back(std::move(event));
                ++count;
                break;
            case EventParse::Unwanted:
                break;
            case EventParse::Malformed:
                count += m_unreadable.add(
                    QStringLiteral("malformed event at offset %1 of %2: %3").arg(offset).arg(m_segmentName, why),
                    events);
                break;
            }
            break;
        }
        }
    }
    return count == 0 ? EventLogError::NoMoreItems : 0;
}

} // namespace userCollector
