#pragma once

#include "eventsource/eventlogsession.h"
#include "eventsource/eventxmlparser.h"
#include "eventsource/xmleventscanner.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <sys/types.h>
#include <vector>

namespace userCollector {

// An open file descriptor, closed with the last owner.
class FileHandle
{
public:
    explicit FileHandle(int fd) : m_fd(fd) {}
    FileHandle(const FileHandle &) = delete;
    FileHandle &operator=(const FileHandle &) = delete;
    ~FileHandle();
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// Reads length bytes at offset; false when the file ends before.
bool readFileAt(int fd, qint64 offset, char *buffer, qint64 length);

// A stretch [begin, end) of a file of rendered events, to be handed out.
// plan() reads it once from begin, linearly and with a bounded buffer, and
// notes the offsets where segments of about SegmentBytes start, each at a
// point where nothing is pending; the query later reads one segment at a
// time, newest first.
struct XmlRegion
{
    std::shared_ptr<FileHandle> file;
    QString name; // for messages
    qint64 begin = 0;
    qint64 end = 0;
    bool final = false; // nothing more will be written: an element left open is truncated
    std::vector<qint64> segments;
    qint64 openTail = -1; // where an element left open at the end of a final stretch starts

    static constexpr qint64 SegmentBytes = 1 << 20;
    // Smaller segments and reads, so that small inputs cross their edges (fuzzing).
    static void setSegmentBytesForTest(qint64 bytes);
    // Up to where the stretch is resolved: a later reading resumes there. An
    // element still being written (not final) is left for it.
    qint64 plan(qint64 maxEventBytes);
};

// Events a query could not read: the first few are handed out as failed
// events (each logged by the reader), the rest only counted and logged once
// as a sum when the query ends, so a damaged log cannot flood the log.
class UnreadableEvents
{
public:
    explicit UnreadableEvents(const QString &server) : m_server(server) {}
    UnreadableEvents(const UnreadableEvents &) = delete;
    UnreadableEvents &operator=(const UnreadableEvents &) = delete;
    ~UnreadableEvents();
    // The number of events added to events (0 or 1).
    int add(const QString &why, std::vector<RenderedEvent> *events);

    static constexpr int Reported = 5;

private:
    QString m_server;
    quint64 m_count = 0;
};

// The events of a few regions (oldest first), handed out newest first:
// complete elements parsed and filtered, the others reported as unreadable.
// Problems beyond the first few of a query are only counted and logged once
// as a sum, so a damaged log cannot flood the log. Memory: one segment and
// the positions of its elements.
class XmlLogQuery : public IEventLogQuery
{
public:
    XmlLogQuery(const QString &server, std::vector<XmlRegion> regions, EventFilter filter, qint64 maxEventBytes);

    quint32 next(int max, std::vector<RenderedEvent> *events) override;

private:
    struct Element
    {
        quint32 offset; // in the segment buffer
        quint32 length;
        XmlEventScanner::Kind kind;
    };
    bool loadNextSegment();

    QString m_server;
    std::vector<XmlRegion> m_regions;
    EventFilter m_filter;
    qint64 m_maxEventBytes;
    std::vector<char> m_segment;
    qint64 m_segmentOffset = 0;
    QString m_segmentName;
    std::vector<Element> m_elements; // of the loaded segment, oldest first
    UnreadableEvents m_unreadable;
};

} // namespace userCollector
