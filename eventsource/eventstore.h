#pragma once

#include "eventsource/eventlogsession.h"

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
// Reading is incremental: the store remembers how far each file was read (by
// its identity: device and inode), so a collection costs what the new events
// cost. An XML element still being written is left for the next collection.
// One store per source; not thread-safe.
class EventStore : public IEventLogPlatform
{
public:
    explicit EventStore(const QString &root);

    std::unique_ptr<IEventLogSession> openSession(const QString &server, quint32 *error) override;
    QString errorMessage(quint32 error) const override;

    // An element larger than this is refused (never buffered whole).
    static constexpr qint64 MaxEventBytes = 1 << 20;

    const QString &root() const { return m_root; }

    // Where reading of an XML log resumes next time (tests and benchmarks).
    qint64 xmlOffsetForTest() const { return m_xml.offset; }

    struct XmlState
    {
        dev_t device = 0;
        ino_t inode = 0;
        qint64 offset = 0; // bytes consumed: complete elements and what lies between them
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
    XmlState m_xml;
    EvtxState m_evtx;
    QString m_lastError;
    friend class EventStoreSession;
};

} // namespace userCollector
