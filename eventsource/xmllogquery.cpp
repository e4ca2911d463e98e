#include "eventsource/xmllogquery.h"

#include "eventsource/xmleventscanner.h"
#include "log/applicationdebug.h"

#include <algorithm>
#include <cerrno>
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

qint64 XmlRegion::plan(qint64 maxEventBytes)
{
    const qint64 readBytes = segmentBytes;
    segments.assign(1, begin);
    const auto cut = [this](qint64 at) {
        if (at - segments.back() >= segmentBytes && at < end)
            segments.push_back(at);
    };
    const XmlEventScanner::Sink sink = [&cut](const XmlEventScanner::Element &, qint64 resolvedUpTo) {
        cut(resolvedUpTo);
    };
    XmlEventScanner scanner(begin, maxEventBytes);
    std::vector<char> buffer;
    qint64 bufferOffset = begin;
    qint64 readTo = begin;
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
        scanner.scan(buffer.data(), bufferOffset, static_cast<qint64>(buffer.size()), final && readTo == end, sink);
        cut(scanner.resolved());
    }
    openTail = final ? scanner.openElement() : -1;
    scanner.finish(end, final, sink);
    end = final ? end : scanner.resolved();
    if (segments.back() >= end)
        segments.pop_back();
    return end;
}

XmlLogQuery::XmlLogQuery(const QString &server, std::vector<XmlRegion> regions, EventFilter filter,
                         qint64 maxEventBytes)
    : m_server(server), m_regions(std::move(regions)), m_filter(std::move(filter)), m_maxEventBytes(maxEventBytes)
{}

XmlLogQuery::~XmlLogQuery()
{
    if (m_problems > ReportedProblems)
        ApplicationDebug::logLow(
            QStringLiteral("%1: %2 more unreadable events skipped").arg(m_server).arg(m_problems - ReportedProblems));
}

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

void XmlLogQuery::problem(const QString &why, std::vector<RenderedEvent> *events, int *count)
{
    ++m_problems;
    if (m_problems > ReportedProblems)
        return;
    RenderedEvent event;
    event.rendered = false;
    event.renderError = EventLogError::InvalidData;
    event.renderErrorText = why;
    events->push_back(std::move(event));
    ++*count;
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
            problem(QStringLiteral("truncated event at offset %1 of %2").arg(offset).arg(m_segmentName), events,
                    &count);
            break;
        case XmlEventScanner::Kind::TooLarge:
            problem(QStringLiteral("event at offset %1 of %2 larger than %3 bytes")
                        .arg(offset)
                        .arg(m_segmentName)
                        .arg(m_maxEventBytes),
                    events, &count);
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
                problem(QStringLiteral("malformed event at offset %1 of %2: %3").arg(offset).arg(m_segmentName, why),
                        events, &count);
                break;
            }
            break;
        }
        }
    }
    return count == 0 ? EventLogError::NoMoreItems : 0;
}

} // namespace userCollector
