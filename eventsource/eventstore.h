#pragma once

#include "eventsource/eventlogsession.h"
#include "eventsource/xmllogquery.h"

#include <QByteArray>
#include <QString>
#include <sys/types.h>

namespace userCollector {

// The event log of a domain controller as it reaches this host: the folder
// <root>/<server>/ holding "Security.evtx" (an EVTX file) or "Security.xml"
// (rendered <Event> elements appended over time). <root>/<server> may also be
// one such file. A missing folder is an unreachable server; a folder without
// a Security log is a missing channel.
//
// Reading is incremental: the store follows the XML log it reads (an open
// descriptor, its identity and how far it was read), so a collection costs
// what the new events cost; an element still being written is left for the
// next collection. It follows rotations without losing or repeating events:
// a log renamed away is read to its end (also what its writer adds until it
// lets go) before the new one is read from its start; a log truncated in
// place is read from its start, after the rest of the copy beside it when
// one was made. Reading is linear in the bytes read, with memory bounded by
// a few segments of about 1 MiB whatever the file holds.
// One store per source; not thread-safe.
class EventStore : public IEventLogPlatform
{
public:
    explicit EventStore(const QString &root);

    std::unique_ptr<IEventLogSession> openSession(const QString &server, quint32 *error) override;
    QString errorMessage(quint32 error) const override;
    QString logKind() const override { return m_logKind; }
    QString location(const QString &server) const override { return m_root + QLatin1Char('/') + server; }

    // An element larger than this is refused (never buffered whole).
    static constexpr qint64 MaxEventBytes = 1 << 20;

    const QString &root() const { return m_root; }
    // A smaller limit, so that small inputs reach it (fuzzing).
    void setMaxEventBytesForTest(qint64 bytes) { m_maxEventBytes = bytes; }

    // Where reading of the followed XML log resumes next time (tests and benchmarks).
    qint64 xmlOffsetForTest() const { return m_xml.offset; }

    // An XML log followed between collections.
    struct XmlLogFile
    {
        std::shared_ptr<FileHandle> file; // null when none is followed
        QString name;
        dev_t device = 0;
        ino_t inode = 0;
        qint64 offset = 0; // resolved: complete elements and what lies between them
        qint64 size = 0;   // at the last reading
        QByteArray mark;   // the file's first bytes, to notice a file rewritten in place
    };
    struct EvtxState
    {
        bool known = false;
        dev_t device = 0;
        ino_t inode = 0;
        qint64 size = 0;
        qint64 modified = 0;       // nanoseconds
        quint64 highestRecord = 0; // file record numbers already looked at
        QByteArray firstChunk;     // record numbers of the first chunk, to notice a rewritten file
    };

private:
    QString m_root;
    qint64 m_maxEventBytes = MaxEventBytes;
    XmlLogFile m_xml;
    XmlLogFile m_xmlRotated; // renamed away, read on while its writer still adds to it
    EvtxState m_evtx;
    QString m_lastError;
    QString m_logKind; // of the last query
    friend class EventStoreSession;
};

} // namespace userCollector
